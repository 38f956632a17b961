-- portnet_demo.lua: the port decoders of portnet-demo, and the example of how a game plugs its
-- own into portnet.lua (load that one first). The demo's ports (examples/demo/Endpoint.h):
--   0        chat: one reliable stream per link, a message is one line of text and its zero
--   1..251   positions (CPositionState): a mask of the components that follow, then one
--            little-endian float per set bit; a state without a base names all three
--   252      the map block stream of --block
-- and out-of-band channel 1, the demo's join: "pd" kind k n flags.

local portnet = _G.portnet
if not portnet or not portnet.register_port_decoder then
    report_failure("portnet_demo.lua: load portnet.lua first")
    return
end

local bitops = bit or bit32

local d = Proto("portnet_demo", "portnet-demo objects")
local f = d.fields
f.line = ProtoField.stringz("portnet_demo.chat", "Chat line")
f.mask = ProtoField.uint8("portnet_demo.mask", "Components", base.HEX)
f.x = ProtoField.float("portnet_demo.x", "x")
f.y = ProtoField.float("portnet_demo.y", "y")
f.z = ProtoField.float("portnet_demo.z", "z")
f.join = ProtoField.string("portnet_demo.join", "Join message")
f.peer = ProtoField.uint8("portnet_demo.peer", "Peer number")
f.peers = ProtoField.uint8("portnet_demo.peers", "Peers")
f.late = ProtoField.bool("portnet_demo.late", "Run under way", 8, nil, 0x01)
f.reason = ProtoField.uint8("portnet_demo.refusal", "Refusal reason")
local e_bad = ProtoExpert.new("portnet_demo.bad", "Not a portnet-demo object",
    expert.group.MALFORMED, expert.severity.ERROR)
d.experts = { e_bad }

local function chat(tvb, tree)
    tree:add(f.line, tvb())
end

local components = { f.x, f.y, f.z }
-- Returns the bytes the state used, as CPositionState::Read would take them.
local function position(tvb, tree, info)
    local mask = tvb(0, 1):uint()
    if mask > 7 or mask == 0 or (not info.delta and mask ~= 7) then
        tree:add_proto_expert_info(e_bad, "component mask " .. mask)
        return nil
    end
    tree:add(f.mask, tvb(0, 1))
    local used = 1
    for i = 0, 2 do
        if bitops.band(bitops.rshift(mask, i), 1) ~= 0 then
            if tvb:len() < used + 4 then
                tree:add_proto_expert_info(e_bad, "a component runs past the datagram")
                return nil
            end
            tree:add_le(components[i + 1], tvb(used, 4))
            used = used + 4
        end
    end
    return used
end

local function join(tvb, tree)
    if tvb:len() < 5 or tvb(0, 2):string() ~= "pd" then return nil end
    local kind = tvb(2, 1):string()
    if kind == "H" then
        tree:add(f.join, tvb(0, 3), "hello: which peer am I?")
        return "demo join hello"
    elseif kind == "W" then
        tree:add(f.join, tvb(0, 3), "welcome")
        tree:add(f.peer, tvb(3, 1))
        tree:add(f.peers, tvb(4, 1))
        if tvb:len() >= 6 then tree:add(f.late, tvb(5, 1)) end
        return "demo welcome: peer " .. tvb(3, 1):uint() .. " of " .. tvb(4, 1):uint()
    elseif kind == "F" then
        tree:add(f.join, tvb(0, 3), "refused")
        tree:add(f.reason, tvb(3, 1))
        return "demo refusal"
    end
    return nil
end

portnet.register_port_decoder(0, "reliable", chat)
for port = 1, 251 do
    portnet.register_port_decoder(port, "state", position)
end
portnet.register_port_decoder(252, "block")
portnet.register_oob_decoder(1, join)
