-- Wireshark dissector for the protocol the unit simulator speaks (and the units it simulates):
-- 29-byte unit frames on UDP ports 4000 to 4007, and discovery ("X", answered with a 50-character
-- identity string) on UDP port 65535.
--
-- Install: copy this file into the personal Lua plugin folder (~/.local/lib/wireshark/plugins/
-- on Linux; Help > About Wireshark > Folders shows it), or pass it to tshark with
-- -X lua_script:lumivaner.lua. For other ports use Decode As... > UDP port > LUMIVANER.

local FRAME_SIZE = 29
local IDENTITY_SIZE = 50
local DISCOVERY_PORT = 65535
local UNIT_PORT_FIRST, UNIT_PORT_LAST = 4000, 4007

-- Wireshark refuses a second protocol of the same name, so a second copy of this file (the
-- installed plugin and one given with -X lua_script:, say) must not register again: the first
-- one loaded is used, and this one says so and steps aside.
local this_file = debug.getinfo(1, "S").source:gsub("^@", "")
for _, name in ipairs(Dissector.list()) do
    if name == "lumivaner" then
        io.stderr:write(string.format("lumivaner: %s is not loaded: the dissector from %s is already in use\n",
            this_file, tostring(package.loaded["lumivaner.file"] or "another plugin")))
        return
    end
end
-- Where the copy in use came from, for the one that steps aside (each plugin has globals of its own).
package.loaded["lumivaner.file"] = this_file

local proto = Proto("lumivaner", "Lumivaner lighting unit protocol")

local COMMAND_NAMES = { [0] = "set-channels", [50] = "channel-query", [51] = "status-query" }

local f = {
    command = ProtoField.string("lumivaner.command", "Command"),
    command_byte = ProtoField.uint8("lumivaner.command_byte", "Command byte", base.DEC, COMMAND_NAMES),
    kind = ProtoField.string("lumivaner.kind", "Kind"), -- request or reply
    first = ProtoField.uint8("lumivaner.first", "First byte", base.DEC),
    last = ProtoField.uint8("lumivaner.last", "Last byte", base.DEC),
    channel = ProtoField.uint8("lumivaner.channel", "Channel", base.DEC),
    unused = ProtoField.bytes("lumivaner.unused", "Not examined"),
    extra = ProtoField.bytes("lumivaner.extra", "Beyond the frame"),
    status_byte = ProtoField.uint8("lumivaner.status.byte", "Status position", base.DEC),
    status_drawn = ProtoField.uint8("lumivaner.status.drawn", "Drawn value (25 to 70)", base.DEC),
    status_pos11 = ProtoField.uint8("lumivaner.status.pos11", "Profile value at position 11", base.DEC),
    status_pos14 = ProtoField.uint8("lumivaner.status.pos14", "Profile value at position 14", base.DEC),
    profile = ProtoField.uint8("lumivaner.profile", "Profile (from the unit port and the status)", base.DEC),
    profile_unknown = ProtoField.string("lumivaner.profile.unknown", "Profile (from the unit port and the status)"),
    identity = ProtoField.string("lumivaner.identity", "Identity"),
    id_name = ProtoField.string("lumivaner.identity.name", "Name"),
    id_number = ProtoField.uint8("lumivaner.identity.number", "Identity number", base.DEC),
    id_port = ProtoField.uint16("lumivaner.identity.port", "Unit port", base.DEC),
    id_field3 = ProtoField.string("lumivaner.identity.field3", "Field 3"),
    id_field4 = ProtoField.string("lumivaner.identity.field4", "Field 4"),
    id_maker = ProtoField.string("lumivaner.identity.maker", "Maker"),
    id_kind = ProtoField.string("lumivaner.identity.kind", "Kind code"),
    id_field7 = ProtoField.string("lumivaner.identity.field7", "Field 7"),
    payload = ProtoField.bytes("lumivaner.payload", "Payload"),
    response_in = ProtoField.framenum("lumivaner.response_in", "Response in", base.NONE, frametype.RESPONSE),
    response_to = ProtoField.framenum("lumivaner.response_to", "Response to", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("lumivaner.time", "Response time"),
}
proto.fields = f

local e = {
    short = ProtoExpert.new("lumivaner.short", "Frame shorter than 29 bytes", expert.group.MALFORMED, expert.severity.ERROR),
    long = ProtoExpert.new("lumivaner.long", "Frame longer than 29 bytes (the unit ignores the rest)",
        expert.group.PROTOCOL, expert.severity.WARN),
    first = ProtoExpert.new("lumivaner.bad_first", "A reply's first byte must be 254", expert.group.MALFORMED, expert.severity.ERROR),
    last = ProtoExpert.new("lumivaner.bad_last", "A reply's last byte must be 255", expert.group.MALFORMED, expert.severity.ERROR),
    unknown = ProtoExpert.new("lumivaner.unknown_command", "Unknown command (the unit does not answer it)",
        expert.group.PROTOCOL, expert.severity.WARN),
    status = ProtoExpert.new("lumivaner.status_unexpected", "Status position differs from what a unit sends",
        expert.group.PROTOCOL, expert.severity.WARN),
    discovery = ProtoExpert.new("lumivaner.bad_discovery", "Not a discovery request (a unit answers only \"X\")",
        expert.group.PROTOCOL, expert.severity.WARN),
    identity = ProtoExpert.new("lumivaner.bad_identity", "Not an identity string (50 characters, 7 fields)",
        expert.group.MALFORMED, expert.severity.ERROR),
    no_response = ProtoExpert.new("lumivaner.no_response", "No response seen", expert.group.SEQUENCE, expert.severity.NOTE),
    no_profile_port = ProtoExpert.new("lumivaner.no_profile_port",
        "No profile uses this port (the 12-channel drivers answer on 4005 and 4007)",
        expert.group.PROTOCOL, expert.severity.NOTE),
    empty = ProtoExpert.new("lumivaner.empty", "Empty datagram (a unit ignores it)",
        expert.group.MALFORMED, expert.severity.ERROR),
}
proto.experts = e

-- Fixed positions of a status reply; positions 2, 11 and 14 have fields of their own.
local STATUS_FIXED = { [3] = 240, [4] = 250, [5] = 0, [6] = 0, [7] = 0, [8] = 0, [9] = 0, [10] = 5, [12] = 5,
    [13] = 3, [15] = 0, [16] = 1, [17] = 0, [18] = 0, [19] = 0, [20] = 0, [21] = 0, [22] = 0, [23] = 0,
    [24] = 0, [25] = 0, [26] = 75, [27] = 1 }

-- Status positions 11 and 14 by unit port; nil where any value may come (position 14 of the
-- generation 1 driver is drawn) and a set where two profiles share the port.
local POS11_BY_PORT = { [4000] = { [6] = true }, [4001] = { [1] = true }, [4002] = { [6] = true },
    [4003] = { [6] = true }, [4004] = { [6] = true }, [4005] = { [12] = true }, [4007] = { [12] = true } }
local POS14_BY_PORT = { [4000] = { [12] = true }, [4002] = { [4] = true }, [4003] = { [4] = true },
    [4004] = { [4] = true }, [4005] = { [6] = true, [12] = true }, [4007] = { [6] = true, [12] = true } }

-- Profile by unit port, with the status reply's position 14 telling 5 from 6 and 7 from 8;
-- nil and why when the reply does not tell.
local PROFILE_BY_POS14 = { [4005] = { [6] = 5, [12] = 6 }, [4007] = { [6] = 7, [12] = 8 } }
local function profile_of(port, pos14)
    if port >= 4000 and port <= 4004 then return port - 4000 end
    local by_pos14 = PROFILE_BY_POS14[port]
    if not by_pos14 then return nil, "no profile uses this port" end
    if pos14 == nil then return nil, "unknown (reply cut)" end
    local profile = by_pos14[pos14]
    if profile == nil then return nil, string.format("unknown (position 14 is %d)", pos14) end
    return profile
end

-- Ports 4000 to 4007 that a profile answers on: 4006 is none's.
local function is_profile_port(port)
    return (port >= 4000 and port <= 4005) or port == 4007
end

-- Requests and their replies, matched on the first pass: by client address and port, unit port
-- and command. A duplicated reply links to the same request.
local pending = {}   -- conversation key .. command -> request frame number
local request_time = {} -- request frame -> its time
local response_of = {}  -- request frame -> first reply frame
local request_of = {}   -- reply frame -> request frame

-- Discovery keys leave out the unit's address: a broadcast request is answered by every unit.
local function key(client, client_port, unit, unit_port, command)
    return tostring(client) .. ":" .. client_port .. ">" .. tostring(unit) .. ":" .. unit_port .. "#" .. command
end

local function remember_request(pinfo, k)
    if pinfo.visited then return end
    pending[k] = pinfo.number
    request_time[pinfo.number] = pinfo.abs_ts
end

local function remember_reply(pinfo, k)
    if pinfo.visited then return end
    local request = pending[k]
    if request then
        request_of[pinfo.number] = request
        if not response_of[request] then response_of[request] = pinfo.number end
    end
end

local function link(tree, pinfo, is_request)
    if is_request then
        local reply = response_of[pinfo.number]
        if reply then
            tree:add(f.response_in, reply)
        elseif pinfo.visited then
            tree:add_proto_expert_info(e.no_response)
        end
    else
        local request = request_of[pinfo.number]
        if request then
            tree:add(f.response_to, request)
            local seconds = pinfo.abs_ts - request_time[request]
            local whole = math.floor(seconds)
            tree:add(f.time, NSTime(whole, math.floor((seconds - whole) * 1e9 + 0.5)))
        end
    end
end

local function dissect_frame(tvb, pinfo, tree, is_request, unit_port)
    local length = tvb:len()
    local reported = tvb:reported_len()
    if reported < FRAME_SIZE then
        tree:add_proto_expert_info(e.short)
    elseif reported > FRAME_SIZE then
        tree:add_proto_expert_info(e.long)
    end
    if length < 2 then
        if length == 1 then tree:add(f.first, tvb(0, 1)) end
        pinfo.cols.info:set(string.format("%s, %d bytes, no command byte", is_request and "Request" or "Reply", reported))
        return
    end

    local command = tvb(1, 1):uint()
    local name = COMMAND_NAMES[command] or "unknown"
    if not is_request and command == 0 then name = "unknown" end
    tree:add(f.command, name)
    tree:add(f.kind, is_request and "request" or "reply")
    tree:add(f.first, tvb(0, 1))
    local command_item = tree:add(f.command_byte, tvb(1, 1))
    if name == "unknown" then command_item:add_proto_expert_info(e.unknown) end

    if not is_request then
        if tvb(0, 1):uint() ~= 254 then tree:add_proto_expert_info(e.first) end
    end

    if unit_port >= UNIT_PORT_FIRST and unit_port <= UNIT_PORT_LAST and not is_profile_port(unit_port) then
        tree:add_proto_expert_info(e.no_profile_port)
    end

    local frame_end = math.min(length, FRAME_SIZE)
    if is_request and command == 0 or not is_request and command == 50 then
        for n = 2, math.min(25, frame_end - 1) do
            local item = tree:add(f.channel, tvb(n, 1))
            item:set_text(string.format("Channel %d: %d", n, tvb(n, 1):uint()))
        end
    elseif not is_request and command == 51 then
        local pos14 = nil
        for n = 2, math.min(27, frame_end - 1) do
            local value = tvb(n, 1):uint()
            local item
            if n == 2 then
                item = tree:add(f.status_drawn, tvb(n, 1))
                if value < 25 or value > 70 then item:add_proto_expert_info(e.status) end
            elseif n == 11 then
                item = tree:add(f.status_pos11, tvb(n, 1))
                local known = POS11_BY_PORT[unit_port]
                if known and not known[value] then item:add_proto_expert_info(e.status) end
            elseif n == 14 then
                item = tree:add(f.status_pos14, tvb(n, 1))
                local known = POS14_BY_PORT[unit_port]
                if known and not known[value] then item:add_proto_expert_info(e.status) end
                pos14 = value
            else
                item = tree:add(f.status_byte, tvb(n, 1))
                item:set_text(string.format("Position %d: %d", n, value))
                if STATUS_FIXED[n] ~= value then item:add_proto_expert_info(e.status) end
            end
        end
        local profile, why = profile_of(unit_port, pos14)
        if profile then
            tree:add(f.profile, profile):set_generated()
        else
            tree:add(f.profile_unknown, why):set_generated()
        end
    elseif is_request and frame_end > 2 then
        local unused_end = math.min(frame_end, FRAME_SIZE - 1)
        if unused_end > 2 then tree:add(f.unused, tvb(2, unused_end - 2)) end
    end

    if frame_end == FRAME_SIZE then
        local last = tree:add(f.last, tvb(FRAME_SIZE - 1, 1))
        if not is_request and tvb(FRAME_SIZE - 1, 1):uint() ~= 255 then last:add_proto_expert_info(e.last) end
    end
    if length > FRAME_SIZE then tree:add(f.extra, tvb(FRAME_SIZE)) end

    pinfo.cols.info:set(string.format("%s %s%s", name, is_request and "request" or "reply",
        reported ~= FRAME_SIZE and string.format(" (%d bytes)", reported) or ""))
    return command
end

local function dissect_identity(tvb, pinfo, tree)
    local text = tvb:raw()
    local item = tree:add(f.identity, tvb())
    local parts = {}
    local offset = 0
    for part in (text .. "/"):gmatch("([^/]*)/") do
        parts[#parts + 1] = { part, offset }
        offset = offset + #part + 1
    end
    if #text ~= IDENTITY_SIZE or #parts ~= 7 then
        item:add_proto_expert_info(e.identity)
    end
    local fields = { f.id_name, f.id_port, f.id_field3, f.id_field4, f.id_maker, f.id_kind, f.id_field7 }
    for i = 1, math.min(#parts, 7) do
        local part, start = parts[i][1], parts[i][2]
        if #part > 0 then
            local range = tvb(start, #part)
            if i == 2 and tonumber(part) then
                item:add(f.id_port, range, tonumber(part))
            else
                item:add(fields[i], range)
            end
        end
        if i == 1 then
            local digit = part:match("(%d)$")
            if digit then item:add(f.id_number, tvb(start + #part - 1, 1), tonumber(digit)) end
        end
    end
    pinfo.cols.info:set("discovery reply: " .. text)
end

function proto.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    pinfo.cols.protocol = "LUMIVANER"
    local subtree = tree:add(proto, tvb(), "Lumivaner lighting unit protocol")
    local src, dst = pinfo.src_port, pinfo.dst_port
    local function is_unit_port(port) return port >= UNIT_PORT_FIRST and port <= UNIT_PORT_LAST end

    -- Which side is the unit: by the well-known ports, or (Decode As on other ports) by content.
    local discovery_request = dst == DISCOVERY_PORT
    local discovery_reply = src == DISCOVERY_PORT and not discovery_request
    local unit_request = not discovery_request and not discovery_reply and is_unit_port(dst)
    local unit_reply = not discovery_request and not discovery_reply and not unit_request and is_unit_port(src)
    if not (discovery_request or discovery_reply or unit_request or unit_reply) then
        local text = tvb:raw()
        if text == "X" then discovery_request = true
        elseif length == IDENTITY_SIZE and text:find("/", 1, true) then discovery_reply = true
        elseif length >= 2 and tvb(0, 1):uint() == 254 then unit_reply = true
        else unit_request = true end
    end

    if discovery_request then
        subtree:add(f.kind, "request")
        subtree:add(f.payload, tvb())
        if tvb:raw() == "X" then
            subtree:add(f.command, "discovery-request")
            remember_request(pinfo, key(pinfo.src, src, "*", dst, "discovery"))
            link(subtree, pinfo, true)
            pinfo.cols.info:set("discovery request")
        else
            -- The unit answers only "X": anything else is no request, and no reply will come.
            subtree:add(f.command, "not a discovery request")
            subtree:add_proto_expert_info(e.discovery)
            pinfo.cols.info:set("discovery datagram, not a request")
        end
    elseif discovery_reply then
        subtree:add(f.command, "discovery-reply")
        subtree:add(f.kind, "reply")
        dissect_identity(tvb, pinfo, subtree)
        local k = key(pinfo.dst, dst, "*", src, "discovery")
        remember_reply(pinfo, k)
        link(subtree, pinfo, false)
    elseif unit_request then
        local command = dissect_frame(tvb, pinfo, subtree, true, dst)
        -- set-channels has no reply; others that the unit answers wait for theirs.
        if command == 50 or command == 51 then
            remember_request(pinfo, key(pinfo.src, src, pinfo.dst, dst, command))
            link(subtree, pinfo, true)
        end
    else
        local command = dissect_frame(tvb, pinfo, subtree, false, src)
        if command then
            remember_reply(pinfo, key(pinfo.dst, dst, pinfo.src, src, command))
            link(subtree, pinfo, false)
        end
    end
    return length
end

function proto.init()
    pending, request_time, response_of, request_of = {}, {}, {}, {}
end

-- UDP hands an empty payload to no port's dissector, so empty datagrams to or from the
-- protocol's ports are found after the fact, from UDP's own fields.
local udp_length = Field.new("udp.length")
local udp_srcport = Field.new("udp.srcport")
local udp_dstport = Field.new("udp.dstport")
local empty = Proto("lumivaner_empty", "Lumivaner empty datagram")
local function is_protocol_port(port)
    return port == DISCOVERY_PORT or (port >= UNIT_PORT_FIRST and port <= UNIT_PORT_LAST)
end
function empty.dissector(tvb, pinfo, tree)
    local length, src, dst = udp_length(), udp_srcport(), udp_dstport()
    if not (length and src and dst) or length.value ~= 8 then return end
    if not (is_protocol_port(src.value) or is_protocol_port(dst.value)) then return end
    local is_request = is_protocol_port(dst.value)
    pinfo.cols.protocol = "LUMIVANER"
    local subtree = tree:add(proto, "Lumivaner lighting unit protocol (empty datagram)")
    subtree:add(f.command, "empty")
    subtree:add(f.kind, is_request and "request" or "reply")
    subtree:add_proto_expert_info(e.empty)
    pinfo.cols.info:set(string.format("empty %s (no payload)", is_request and "request" or "reply"))
end
register_postdissector(empty)

local udp_port = DissectorTable.get("udp.port")
for port = UNIT_PORT_FIRST, UNIT_PORT_LAST do udp_port:add(port, proto) end
udp_port:add(DISCOVERY_PORT, proto)
udp_port:add_for_decode_as(proto)
