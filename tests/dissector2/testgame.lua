-- testgame.lua: port decoders of a made-up game, registered through portnet.lua's public API
-- so that check_fields.py can see which bytes (and which record flags) each decoder was handed.
local portnet = _G.portnet
local g = Proto("t2game", "dissector2 test game")
local f_state = ProtoField.bytes("t2game.state", "State bytes")
local f_info = ProtoField.string("t2game.info", "Record flags seen")
local f_msg = ProtoField.bytes("t2game.msg", "Message bytes")
local f_oob = ProtoField.bytes("t2game.oob", "Out-of-band bytes")
g.fields = { f_state, f_info, f_msg, f_oob }

local function flags(info)
    return string.format("port=%s delta=%s slot=%s age=%s", tostring(info.port),
        tostring(info.delta), tostring(info.base_slot), tostring(info.age))
end

-- Port 1: a whole state is 2 bytes, one against a base 1 byte.
portnet.register_port_decoder(1, "state", function(tvb, tree, info)
    local n = info.delta and 1 or 2
    if tvb:len() < n then return nil end
    tree:add(f_state, tvb(0, n))
    tree:add(f_info, tvb(0, n), flags(info))
    return n
end)
-- Port 3: a hostile game's decoder: 0xEE is not a state, 0xEF raises, 0xF0 claims 200 bytes;
-- otherwise the first byte is the state's length.
portnet.register_port_decoder(3, "state", function(tvb, tree, info)
    if tvb:len() < 1 then return nil end
    local b = tvb(0, 1):uint()
    if b == 0xEE then return nil end
    if b == 0xEF then error("decoder of port 3 gave up") end
    if b == 0xF0 then return 200 end
    if tvb:len() < b then return nil end
    tree:add(f_state, tvb(0, b))
    return b
end)
portnet.register_port_decoder(0, "reliable", function(tvb, tree, info)
    tree:add(f_msg, tvb(0, tvb:len()))
    tree:add(f_info, flags(info))
end)
portnet.register_port_decoder(10, "reliable") -- no decoder: the dissector shows the bytes
portnet.register_port_decoder(9, "block")
portnet.register_oob_decoder(2, function(tvb, tree, info)
    tree:add(f_oob, tvb(0, tvb:len()))
    return "lobby"
end)
