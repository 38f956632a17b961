-- portnet.lua: a Wireshark dissector for the portnet wire format (docs/protocol.md).
--
-- Load it with `wireshark -X lua_script:portnet.lua` (or copy it into a personal Lua plugin
-- folder). It takes UDP datagrams on the port of its "UDP port" preference (the demo's 40000 by
-- default), and any other with Decode As... > portnet. A datagram that starts like a DTLS record
-- is handed to Wireshark's DTLS dissector, which gives the decrypted records back to this one
-- when it has the session secrets (tls.keylog_file, see the README).
--
-- The kind of object on a port is not on the wire, nor is a state's length: a game tells both
-- with
--     portnet.register_port_decoder(port, kind, function(tvb, tree, info) ... end)
-- kind "state": the function decodes one state from the start of tvb and returns the bytes it
-- used (nil or a negative number when the bytes are not a state of that port); kind "reliable":
-- it decodes one whole message (tvb holds exactly the message), its return value unused.
-- info holds port, pinfo, delta (coded against a base), base_slot and age (nil without one).
-- Reliable ports without a decoder show their bytes; a state without one ends the packet's
-- decoding (its length is unknown). portnet_demo.lua is the example, for portnet-demo.

local kMaxDatagram = 999
local kMaxMessage = 799
local kMaxBlock = 16777216

-- Wireshark's Lua 5.2 has no bit operators; its bundled BitOp library serves every version.
local bitops = bit or bit32
local band, bor, rshift, lshift = bitops.band, bitops.bor, bitops.rshift, bitops.lshift

local p = Proto("portnet", "portnet replication")

local kinds = { state = "state", reliable = "reliable", block = "block" }

local f = p.fields
-- Datagram
f.channel = ProtoField.uint8("portnet.channel", "Channel")
f.form = ProtoField.string("portnet.form", "Form")
-- Packet header
f.header = ProtoField.uint8("portnet.header", "Header", base.HEX)
f.h_reliable = ProtoField.bool("portnet.header.reliable", "Reliable records", 8, nil, 0x01)
f.h_write = ProtoField.uint8("portnet.header.write_toggle", "Write toggle", base.DEC, nil, 0x02)
f.h_read = ProtoField.uint8("portnet.header.read_toggle", "Read toggle", base.DEC, nil, 0x04)
f.h_timing = ProtoField.bool("portnet.header.timing", "Timing fields", 8, nil, 0x08)
f.h_check = ProtoField.uint8("portnet.header.check", "Check bits (sequence mod 8)", base.DEC, nil, 0x70)
f.h_instant = ProtoField.bool("portnet.header.instant", "Instant message", 8, nil, 0x80)
f.seq = ProtoField.uint24("portnet.seq", "Sequence")
f.ack = ProtoField.uint24("portnet.ack", "Acknowledged sequence")
f.timing_seq = ProtoField.uint24("portnet.timing_seq", "Timing sequence")
f.timing_age = ProtoField.uint16("portnet.timing_age", "Timing age (ms)")
f.keep_alive = ProtoField.bool("portnet.keep_alive", "Keep-alive (no records)")
f.terminator = ProtoField.uint8("portnet.terminator", "Terminator", base.HEX)
-- What the receiver makes of the packet, followed from the capture in its order
f.old = ProtoField.bool("portnet.old", "Old: not newer than the newest accepted (dropped)")
f.repeat_ = ProtoField.bool("portnet.repeat", "Repetition of reliable content already taken")
f.acks = ProtoField.bool("portnet.acks_reliable", "Acknowledges the peer's reliable content")
-- Records
f.record = ProtoField.none("portnet.record", "Record")
f.port = ProtoField.uint8("portnet.port", "Port")
f.kind = ProtoField.string("portnet.kind", "Kind")
f.rel_word = ProtoField.uint16("portnet.rel.word", "Length word", base.HEX)
f.rel_len = ProtoField.uint16("portnet.rel.length", "Chunk length", base.DEC, nil, 0x7FFF)
f.rel_last = ProtoField.bool("portnet.rel.last", "Last chunk of the message", 16, nil, 0x8000)
f.rel_chunk = ProtoField.bytes("portnet.rel.chunk", "Chunk")
f.message = ProtoField.bytes("portnet.message", "Message (new)")
f.st_flags = ProtoField.uint8("portnet.state.flags", "State flags", base.HEX)
f.st_delta = ProtoField.bool("portnet.state.delta", "Against a base", 8, nil, 0x01)
f.st_has_age = ProtoField.bool("portnet.state.has_age", "Age follows", 8, nil, 0x02)
f.st_slot = ProtoField.uint8("portnet.state.base_slot", "Base slot", base.DEC, nil, 0xFC)
f.st_age = ProtoField.uint8("portnet.state.age", "Age (ms)")
f.st_data = ProtoField.bytes("portnet.state.data", "State")
f.bk_sections = ProtoField.uint8("portnet.block.sections", "Sections", base.HEX)
f.bk_has_ack = ProtoField.bool("portnet.block.has_ack", "Acknowledgement follows", 8, nil, 0x01)
f.bk_has_notice = ProtoField.bool("portnet.block.has_notice", "Notice follows", 8, nil, 0x02)
f.bk_count = ProtoField.uint8("portnet.block.fragments", "Fragments", base.DEC, nil, 0xFC)
f.bk_ack = ProtoField.none("portnet.block.ack", "Acknowledgement")
f.bk_ack_block = ProtoField.uint16("portnet.block.ack.block", "Block (low 16 bits)")
f.bk_ack_whole = ProtoField.uint32("portnet.block.ack.whole", "Held without a gap")
f.bk_ack_ranges = ProtoField.uint8("portnet.block.ack.ranges", "Ranges", base.DEC, nil, 0x7F)
f.bk_ack_more = ProtoField.bool("portnet.block.ack.more", "More held beyond", 8, nil, 0x80)
f.bk_range_start = ProtoField.uint32("portnet.block.ack.range_start", "Range start")
f.bk_range_end = ProtoField.uint32("portnet.block.ack.range_end", "Range end")
local notice_reasons = { [1] = "sender cancelled", [2] = "receiver refused (too big)",
    [3] = "receiver saw the cancel" }
f.bk_notice_block = ProtoField.uint16("portnet.block.notice.block", "Notice block")
f.bk_notice_reason = ProtoField.uint8("portnet.block.notice.reason", "Notice reason", base.DEC,
    notice_reasons)
f.bk_frag = ProtoField.none("portnet.block.fragment", "Fragment")
f.bk_frag_block = ProtoField.uint16("portnet.block.frag.block", "Block (low 16 bits)")
f.bk_frag_total = ProtoField.uint32("portnet.block.frag.total", "Block size")
f.bk_frag_offset = ProtoField.uint32("portnet.block.frag.offset", "Offset")
f.bk_frag_len = ProtoField.uint16("portnet.block.frag.length", "Length")
f.bk_frag_bytes = ProtoField.bytes("portnet.block.frag.bytes", "Bytes")
-- Instant messages
f.instant = ProtoField.string("portnet.instant", "Instant message")
f.in_first = ProtoField.uint8("portnet.instant.first", "First byte", base.HEX)
f.in_magic = ProtoField.string("portnet.instant.magic", "Magic")
f.in_attempt = ProtoField.uint32("portnet.instant.attempt", "Attempt", base.HEX)
f.in_slot = ProtoField.uint16("portnet.instant.slot", "Slot")
f.in_host_first = ProtoField.uint24("portnet.instant.host_first", "Host's first packet (H)")
f.in_player_first = ProtoField.uint24("portnet.instant.player_first", "Player's first packet (P)")
f.in_player = ProtoField.uint64("portnet.instant.player_id", "Player id")
local refusal_reasons = { [1] = "full", [2] = "refused by the host", [3] = "no memory",
    [5] = "unknown to the host" }
f.in_reason = ProtoField.uint8("portnet.instant.reason", "Refusal reason", base.DEC, refusal_reasons)
f.in_refused_seq = ProtoField.uint24("portnet.instant.refused_seq", "Refused packet")
f.in_payload = ProtoField.bytes("portnet.instant.payload", "Payload")
f.oob = ProtoField.bytes("portnet.oob", "Out-of-band payload")
-- Secure handshake, clear text
f.identity = ProtoField.string("portnet.dtls.identity", "PSK identity")
f.token = ProtoField.none("portnet.token", "Connect token")
f.tk_version = ProtoField.uint8("portnet.token.version", "Version")
f.tk_protocol = ProtoField.uint64("portnet.token.protocol_id", "Protocol id")
f.tk_from = ProtoField.absolute_time("portnet.token.valid_from", "Valid from", base.UTC)
f.tk_expires = ProtoField.absolute_time("portnet.token.expires", "Expires", base.UTC)
f.tk_nonce = ProtoField.bytes("portnet.token.nonce", "Nonce")
f.tk_sealed = ProtoField.bytes("portnet.token.sealed", "Sealed part (player id, key, user data, servers)")
f.tk_sealed_len = ProtoField.uint16("portnet.token.sealed_length", "Sealed length")
f.tk_tag = ProtoField.bytes("portnet.token.tag", "Tag")

local e_malformed = ProtoExpert.new("portnet.malformed", "Malformed portnet datagram",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_check = ProtoExpert.new("portnet.bad_check", "Check bits disagree with the sequence",
    expert.group.SEQUENCE, expert.severity.WARN)
local e_unknown = ProtoExpert.new("portnet.unknown_port", "Port of unknown kind or length",
    expert.group.UNDECODED, expert.severity.NOTE)
local e_old = ProtoExpert.new("portnet.old_packet", "Old packet: the receiver drops it",
    expert.group.SEQUENCE, expert.severity.NOTE)
local e_decoder = ProtoExpert.new("portnet.decoder", "Port decoder failed",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_lookalike = ProtoExpert.new("portnet.not_handshake",
    "Handshake tag with a zero attempt or numbering: the library takes it for ReadInstant",
    expert.group.PROTOCOL, expert.severity.WARN)
p.experts = { e_malformed, e_check, e_unknown, e_old, e_decoder, e_lookalike }

p.prefs.udp_port = Pref.uint("UDP port", 40000, "Datagrams to or from this port are portnet's")
p.prefs.dtls = Pref.bool("Hand DTLS records to DTLS", true,
    "A datagram that starts like a DTLS 1.0/1.2 record goes to Wireshark's DTLS dissector")

-- The registry a game fills: kind and decoder per port, decoders per out-of-band channel.
local ports = {}
local oob = {}

-- Wireshark gives each script an environment of its own: the API goes into the shared _G.
local portnet = {}
_G.portnet = portnet

-- kind: "state", "reliable" or "block"; decoder may be nil (a kind alone).
function portnet.register_port_decoder(port, kind, decoder)
    assert(type(port) == "number" and port >= 0 and port <= 254, "port 0 to 254")
    assert(kinds[kind], "kind: state, reliable or block")
    ports[port] = { kind = kind, decode = decoder }
end

-- decoder(tvb, tree, info) for the payload of out-of-band channel 1 to 255.
function portnet.register_oob_decoder(channel, decoder)
    assert(type(channel) == "number" and channel >= 1 and channel <= 255, "channel 1 to 255")
    oob[channel] = decoder
end

-- What the capture shows of each direction so far, kept per frame so that a second look at a
-- frame (Wireshark's GUI, in any order) shows what the first one found: the receiver's verdict,
-- and the messages its reliable records closed, gathered from earlier chunks.
local flows, verdicts, gathered
local function reset()
    flows, verdicts, gathered = {}, {}, {}
end
reset()
p.init = reset

local function flow(key)
    local s = flows[key]
    if not s then
        -- The start values: a reader's toggle 1, a writer's 0 with nothing awaiting.
        s = { read_seq = 0, read_toggle = 1, write_toggle = 0, write_acked = true, partial = {} }
        flows[key] = s
    end
    return s
end

-- Follows the receiver's and the writer's rules of CNetClient on one packet.
local function judge(pinfo, seq, bits)
    local v = verdicts[pinfo.number]
    if v then return v end
    local src = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local dst = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    local out, back = flow(src .. ">" .. dst), flow(dst .. ">" .. src)
    -- Filled by the frame's reliable records, on this first look only.
    v = { flow = out, closed = {}, first = true }
    if band(bits, 0x01) ~= 0 then out.write_acked = false end
    if seq <= out.read_seq then
        v.old = true
    else
        out.read_seq = seq
        if band(bits, 0x01) ~= 0 then
            local toggle = band(bits, 0x02) ~= 0 and 1 or 0
            if toggle == out.read_toggle then v.repeat_ = true else out.read_toggle = toggle end
        end
        local acked = band(bits, 0x04) ~= 0 and 1 or 0
        if not back.write_acked and acked == back.write_toggle then
            back.write_toggle = 1 - back.write_toggle
            back.write_acked = true
            v.acks = true
        end
    end
    verdicts[pinfo.number] = v
    return v
end

-- The receiver's gathering of one reliable chunk: what it has of the port's message after it,
-- { len = bytes so far, msg = the bytes once the chunk closes a message of at most 799 }.
local function gather(v, port, chunk, last)
    local part = v.flow.partial[port] or { len = 0 }
    part.len = part.len + chunk:len()
    -- Past 799 bytes the reader refuses the message: only its length is kept.
    if part.len <= kMaxMessage and chunk:len() > 0 then part[#part + 1] = chunk:raw() end
    if not last then
        v.flow.partial[port] = part
        return { len = part.len }
    end
    v.flow.partial[port] = nil
    return { len = part.len, msg = part.len <= kMaxMessage and table.concat(part) or nil }
end

-- A reading position over tvb that refuses to pass its end with an expert error, never a Lua
-- error: every read asks first.
local function cursor(tvb, tree)
    local c = { pos = 0, len = tvb:len(), ok = true }
    function c.has(n) return c.ok and c.pos + n <= c.len end
    function c.take(n, item_tree, msg)
        if c.has(n) then
            local r = tvb(c.pos, n)
            c.pos = c.pos + n
            return r
        end
        if c.ok then
            c.ok = false;
            (item_tree or tree):add_proto_expert_info(e_malformed,
                (msg or "datagram ends inside a field") .. " at byte " .. c.pos)
        end
        return nil
    end
    return c
end

local function decode_reliable(tvb, c, rec, port, entry, v, pinfo, counts)
    local w = c.take(2, rec, "reliable record: no length word")
    if not w then return false end
    local word = w:le_uint()
    local t = rec:add_le(f.rel_word, w)
    t:add_le(f.rel_len, w)
    t:add_le(f.rel_last, w)
    local len = band(word, 0x7FFF)
    local chunk = c.take(len, rec, "reliable record: chunk of " .. len .. " bytes runs past the datagram")
    if not chunk then return false end
    if len > 0 then rec:add(f.rel_chunk, chunk) end
    counts.reliable = counts.reliable + 1
    -- Only packets the receiver takes, and not repetitions of content taken, add to a message.
    if v.old or v.repeat_ then return true end
    local last = band(word, 0x8000) ~= 0
    if v.first then v.closed[counts.reliable] = gather(v, port, chunk, last) end
    local m = v.closed[counts.reliable]
    if not m then return true end
    if m.len > kMaxMessage then
        rec:add_proto_expert_info(e_malformed, "message of " .. m.len .. " bytes so far, over " ..
            kMaxMessage .. ": the reader refuses it")
    end
    if not m.msg then return true end
    -- A message of one chunk shows as the datagram's bytes, a gathered one in a tab of its own.
    local mtvb = m.len == len and chunk:tvb() or ByteArray.new(m.msg, true):tvb("Reliable message")
    rec:add(f.message, m.len == len and chunk or mtvb())
    counts.messages = counts.messages + 1
    if entry and entry.decode and m.len > 0 then
        local ok, err = pcall(entry.decode, mtvb, rec, { port = port, pinfo = pinfo })
        if not ok then rec:add_proto_expert_info(e_decoder, tostring(err)) end
    end
    return true
end

local function decode_state(tvb, c, rec, port, entry, pinfo, counts)
    local fl = c.take(1, rec, "state record: no flags")
    if not fl then return false end
    local flags = fl:uint()
    local t = rec:add(f.st_flags, fl)
    t:add(f.st_delta, fl)
    t:add(f.st_has_age, fl)
    t:add(f.st_slot, fl)
    local info = { port = port, pinfo = pinfo, delta = band(flags, 1) ~= 0, base_slot = rshift(flags, 2) }
    if band(flags, 0x02) ~= 0 then
        local a = c.take(1, rec, "state record: no age byte")
        if not a then return false end
        rec:add(f.st_age, a)
        info.age = a:uint()
        if info.age == 0 then rec:add_proto_expert_info(e_malformed, "an age of 0 is never sent") end
    end
    counts.states = counts.states + 1
    if not (entry and entry.decode) then
        if c.pos < c.len then rec:add(f.st_data, tvb(c.pos)) end
        rec:add_proto_expert_info(e_unknown, "no decoder for port " .. port ..
            ": the state's length is unknown, the rest of the packet is left undecoded")
        c.pos = c.len
        c.stop = true
        return true
    end
    if c.pos >= c.len then
        return c.take(1, rec, "state record: no state after its flags") ~= nil
    end
    local rest = tvb(c.pos):tvb()
    local ok, used = pcall(entry.decode, rest, rec, info)
    if not ok or type(used) ~= "number" or used < 1 or c.pos + used > c.len then
        c.ok = false
        rec:add_proto_expert_info(e_decoder, "the decoder of port " .. port .. " refused the state" ..
            (ok and "" or (": " .. tostring(used))))
        return false
    end
    c.pos = c.pos + used
    return true
end

local function decode_block(tvb, c, rec, counts)
    local s = c.take(1, rec, "block record: no sections byte")
    if not s then return false end
    local sections = s:uint()
    local t = rec:add(f.bk_sections, s)
    t:add(f.bk_has_ack, s)
    t:add(f.bk_has_notice, s)
    t:add(f.bk_count, s)
    if band(sections, 0x01) ~= 0 then
        local at = c.pos
        local h = c.take(7, rec, "block acknowledgement: header runs past the datagram")
        if not h then return false end
        local a = rec:add(f.bk_ack, h)
        a:add_le(f.bk_ack_block, h(0, 2))
        a:add_le(f.bk_ack_whole, h(2, 4))
        a:add(f.bk_ack_ranges, h(6, 1))
        a:add(f.bk_ack_more, h(6, 1))
        local n = band(h(6, 1):uint(), 0x7F)
        if n > 16 then a:add_proto_expert_info(e_malformed, "more than 16 ranges") end
        for _ = 1, n do
            local r = c.take(8, a, "block acknowledgement: range runs past the datagram")
            if not r then return false end
            a:add_le(f.bk_range_start, r(0, 4))
            a:add_le(f.bk_range_end, r(4, 4))
        end
        a:set_len(c.pos - at)
        counts.block_acks = counts.block_acks + 1
    end
    if band(sections, 0x02) ~= 0 then
        local n = c.take(3, rec, "block notice runs past the datagram")
        if not n then return false end
        rec:add_le(f.bk_notice_block, n(0, 2))
        rec:add(f.bk_notice_reason, n(2, 1))
    end
    for _ = 1, rshift(sections, 2) do
        local at = c.pos
        local h = c.take(12, rec, "block fragment: header runs past the datagram")
        if not h then return false end
        local fr = rec:add(f.bk_frag, h)
        fr:add_le(f.bk_frag_block, h(0, 2))
        fr:add_le(f.bk_frag_total, h(2, 4))
        fr:add_le(f.bk_frag_offset, h(6, 4))
        fr:add_le(f.bk_frag_len, h(10, 2))
        local total, offset, len = h(2, 4):le_uint(), h(6, 4):le_uint(), h(10, 2):le_uint()
        if len == 0 then fr:add_proto_expert_info(e_malformed, "a fragment of 0 bytes") end
        if total == 0 or total > kMaxBlock then
            fr:add_proto_expert_info(e_malformed, "block size " .. total .. " outside 1 to " .. kMaxBlock)
        elseif offset + len > total then
            fr:add_proto_expert_info(e_malformed, "fragment ends at " .. (offset + len) ..
                ", past its block's size " .. total)
        end
        local bytes = c.take(len, fr, "block fragment: bytes run past the datagram")
        if not bytes then return false end
        if len > 0 then fr:add(f.bk_frag_bytes, bytes) end
        fr:set_len(c.pos - at)
        counts.fragments = counts.fragments + 1
    end
    return true
end

local function decode_packet(tvb, pinfo, tree)
    local c = cursor(tvb, tree)
    local hb = c.take(1)
    local bits = hb:uint()
    local h = tree:add(f.header, hb)
    h:add(f.h_reliable, hb)
    h:add(f.h_write, hb)
    h:add(f.h_read, hb)
    h:add(f.h_timing, hb)
    h:add(f.h_check, hb)
    h:add(f.h_instant, hb)
    local s = c.take(3, tree, "header: no sequence")
    if not s then return "truncated header" end
    local seq = s:le_uint()
    local si = tree:add_le(f.seq, s)
    if band(seq, 7) ~= band(rshift(bits, 4), 7) then
        si:add_proto_expert_info(e_check)
        return "seq=" .. seq .. " (check bits disagree: dropped)"
    end
    local a = c.take(3, tree, "header: no acknowledgement")
    if not a then return "truncated header" end
    tree:add_le(f.ack, a)
    if band(bits, 0x08) ~= 0 then
        local ts = c.take(3, tree, "header: no timing sequence")
        local ta = ts and c.take(2, tree, "header: no timing age")
        if not ta then return "truncated header" end
        tree:add_le(f.timing_seq, ts)
        tree:add_le(f.timing_age, ta)
    end
    local v = judge(pinfo, seq, bits)
    if v.old then tree:add(f.old, true):set_generated(); tree:add_proto_expert_info(e_old) end
    if v.repeat_ then tree:add(f.repeat_, true):set_generated() end
    if v.acks then tree:add(f.acks, true):set_generated() end

    local counts = { states = 0, reliable = 0, messages = 0, fragments = 0, block_acks = 0, records = 0 }
    while c.ok and not c.stop do
        local pb = c.take(1, tree, "records: no terminator")
        if not pb then break end
        local port = pb:uint()
        if port == 0xFF then
            tree:add(f.terminator, pb)
            if c.pos < c.len then
                tree:add_proto_expert_info(e_malformed, (c.len - c.pos) .. " bytes after the terminator")
            end
            break
        end
        local rec = tree:add(f.record, pb)
        rec:add(f.port, pb)
        counts.records = counts.records + 1
        local entry = ports[port]
        local start = c.pos - 1
        if not entry then
            rec:add(f.kind, "unknown")
            rec:add_proto_expert_info(e_unknown, "port " .. port ..
                " has no registered kind (portnet.register_port_decoder): the rest is undecoded")
            c.stop = true
            break
        end
        rec:add(f.kind, entry.kind)
        rec:append_text(": port " .. port .. ", " .. entry.kind)
        local ok
        if entry.kind == "reliable" then
            ok = decode_reliable(tvb, c, rec, port, entry, v, pinfo, counts)
        elseif entry.kind == "block" then
            ok = decode_block(tvb, c, rec, counts)
        else
            ok = decode_state(tvb, c, rec, port, entry, pinfo, counts)
        end
        rec:set_len(c.pos - start)
        if not ok then break end
    end
    v.first = false
    if counts.records == 0 and c.ok then tree:add(f.keep_alive, true):set_generated() end
    local text = "seq=" .. seq .. " ack=" .. a:le_uint()
    if counts.records == 0 then text = text .. " keep-alive" end
    if counts.states > 0 then text = text .. " states=" .. counts.states end
    if counts.reliable > 0 then text = text .. " reliable=" .. counts.reliable end
    if counts.fragments > 0 then text = text .. " fragments=" .. counts.fragments end
    if counts.block_acks > 0 then text = text .. " block-ack" end
    if v.repeat_ then text = text .. " [repeat]" end
    if v.old then text = text .. " [old]" end
    return text
end

local function decode_instant(tvb, tree)
    local n = tvb:len()
    tree:add(f.in_first, tvb(0, 1))
    local body = n > 1 and tvb(1) or nil
    local magic = n >= 5 and tvb(1, 4):string() or ""
    local kind = "message for ReadInstant"
    -- Attempts and packet numbers start at 1: a zero makes the handshake's shape a game message.
    if n == 25 and (magic == "HELO" or magic == "WELC") and (tvb(5, 4):le_uint() == 0 or
        (magic == "WELC" and (tvb(11, 3):le_uint() == 0 or tvb(14, 3):le_uint() == 0))) then
        tree:add_proto_expert_info(e_lookalike)
        magic = ""
    end
    if n == 25 and magic == "HELO" then
        kind = "hello"
        tree:add(f.in_magic, tvb(1, 4))
        tree:add_le(f.in_attempt, tvb(5, 4))
    elseif n == 25 and magic == "WELC" then
        kind = "welcome"
        tree:add(f.in_magic, tvb(1, 4))
        tree:add_le(f.in_attempt, tvb(5, 4))
        tree:add_le(f.in_slot, tvb(9, 2))
        tree:add_le(f.in_host_first, tvb(11, 3))
        tree:add_le(f.in_player_first, tvb(14, 3))
        tree:add_le(f.in_player, tvb(17, 8))
    elseif (n == 8 or n == 7) and tvb(1, 2):string() == "NO" then
        kind = n == 8 and "refusal of a hello" or "refusal of a packet"
        tree:add(f.in_magic, tvb(1, 2))
        tree:add(f.in_reason, tvb(3, 1))
        if n == 8 then tree:add_le(f.in_attempt, tvb(4, 4)) else tree:add_le(f.in_refused_seq, tvb(4, 3)) end
    elseif (n == 5 or n == 9) and magic == "BYE!" then
        kind = "goodbye"
        tree:add(f.in_magic, tvb(1, 4))
        if n == 9 then tree:add_le(f.in_attempt, tvb(5, 4)) end
    elseif body then
        tree:add(f.in_payload, body)
    end
    tree:add(f.instant, kind):set_generated()
    return kind
end

-- The PSK identity of a handshake: a connect token when it is base64url of a token's size.
local b64 = {}
do
    local alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    for i = 1, #alphabet do b64[alphabet:byte(i)] = i - 1 end
end
local function base64url(text)
    local out, acc, bits = {}, 0, 0
    for i = 1, #text do
        local v = b64[text:byte(i)]
        if not v then return nil end
        acc = bor(lshift(band(acc, 0xFFFF), 6), v)
        bits = bits + 6
        if bits >= 8 then
            bits = bits - 8
            out[#out + 1] = string.char(band(rshift(acc, bits), 0xFF))
        end
    end
    return table.concat(out)
end

local identity_field = Field.new("dtls.handshake.identity")

-- The identity ranges of the datagram's ClientKeyExchange records, read from the clear records
-- themselves where Wireshark's DTLS does not show the message (it leaves an ECDHE-PSK one
-- undecoded): record header 13 bytes, handshake header 12, then the identity's length (2,
-- big-endian) and the identity.
local function identities(tvb)
    local found = {}
    for _, fi in ipairs({ identity_field() }) do found[#found + 1] = fi.range end
    if #found > 0 then return found end
    local at, n = 0, tvb:len()
    for _ = 1, 16 do
        if at + 13 > n then break end
        local len = tvb(at + 11, 2):uint()
        if at + 13 + len > n then break end
        if tvb(at, 1):uint() == 22 and tvb(at + 3, 2):uint() == 0 and len >= 14 and
            tvb(at + 13, 1):uint() == 16 then
            local id_len = tvb(at + 25, 2):uint()
            if id_len > 0 and 27 + id_len <= 13 + len then
                found[#found + 1] = tvb(at + 27, id_len)
            end
        end
        at = at + 13 + len
    end
    return found
end

local function decode_identity(pinfo, tree, tvb)
    for _, range in ipairs(identities(tvb)) do
        local text = range:string()
        local t = tree:add(f.identity, range, text)
        local raw = #text <= 256 and base64url(text)
        if raw and #raw >= 97 and #raw <= 192 and raw:byte(1) == 1 then
            local bytes = ByteArray.new(raw, true):tvb("Connect token")
            local tk = t:add(f.token, bytes())
            tk:add(f.tk_version, bytes(0, 1))
            tk:add_le(f.tk_protocol, bytes(1, 8))
            local function utc(at)
                return NSTime.new(bytes(at, 4):le_uint() + bytes(at + 4, 4):le_uint() * 4294967296, 0)
            end
            tk:add(f.tk_from, bytes(9, 8), utc(9))
            tk:add(f.tk_expires, bytes(17, 8), utc(17))
            tk:add(f.tk_nonce, bytes(25, 12))
            tk:add(f.tk_sealed, bytes(37, #raw - 53))
            tk:add(f.tk_sealed_len, #raw - 53):set_generated()
            tk:add(f.tk_tag, bytes(#raw - 16, 16))
            pinfo.cols.info:append(" [connect token]")
        end
    end
end

local dtls = Dissector.get("dtls")
local depth = 0

local function looks_dtls(tvb)
    if tvb:len() < 13 then return false end
    local ct, ver = tvb(0, 1):uint(), tvb(1, 2):uint()
    return ct >= 20 and ct <= 25 and (ver == 0xFEFD or ver == 0xFEFF)
end

function p.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    if n == 0 then return 0 end
    if depth == 0 and p.prefs.dtls and looks_dtls(tvb) then
        -- DTLS calls back into this dissector (dtls.port) with each decrypted record.
        depth = 1
        local ok = pcall(function() dtls:call(tvb, pinfo, tree) end)
        depth = 0
        local st = tree:add(p, tvb(), "portnet secure handshake, clear text")
        decode_identity(pinfo, st, tvb)
        if not ok then st:add_proto_expert_info(e_malformed, "DTLS dissector failed") end
        return n
    end
    pinfo.cols.protocol = "portnet"
    local root = tree:add(p, tvb())
    local text
    if n > kMaxDatagram then
        root:add_proto_expert_info(e_malformed, "longer than 999 bytes")
    end
    root:add(f.channel, tvb(0, 1))
    local ch = tvb(0, 1):uint()
    local payload = n > 1 and tvb(1):tvb() or nil
    if ch ~= 0 then
        root:add(f.form, "out-of-band"):set_generated()
        text = "out-of-band, channel " .. ch
        if payload then
            root:add(f.oob, tvb(1))
            if oob[ch] then
                local ok, what = pcall(oob[ch], payload, root, { channel = ch, pinfo = pinfo })
                if not ok then root:add_proto_expert_info(e_decoder, tostring(what))
                elseif type(what) == "string" then text = text .. ": " .. what end
            end
        end
    elseif not payload then
        root:add_proto_expert_info(e_malformed, "channel 0 without a payload")
        text = "empty"
    elseif payload(0, 1):uint() >= 0x80 then
        root:add(f.form, "instant"):set_generated()
        text = "instant: " .. decode_instant(payload, root)
    else
        root:add(f.form, "packet"):set_generated()
        text = decode_packet(payload, pinfo, root)
    end
    root:append_text(", " .. text)
    if depth > 0 then
        pinfo.cols.info:append(" | portnet " .. text)
    else
        pinfo.cols.info = "portnet " .. text
    end
    return n
end

local registered_port
local function register_port()
    local udp = DissectorTable.get("udp.port")
    local dtls_port = DissectorTable.get("dtls.port")
    if registered_port then
        udp:remove(registered_port, p)
        dtls_port:remove(registered_port, p)
    end
    registered_port = p.prefs.udp_port
    udp:add(registered_port, p)
    dtls_port:add(registered_port, p)
end
p.prefs_changed = register_port
register_port()
-- Decode As... on any UDP port, and for decrypted DTLS application data.
DissectorTable.get("udp.port"):add_for_decode_as(p)
DissectorTable.get("dtls.port"):add_for_decode_as(p)

portnet.proto = p
