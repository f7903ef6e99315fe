-- net2000.lua: Wireshark dissector for Net2000 serial lines as KESTA captures them (KESTA_PCAPNG,
-- net2000-sim --pcapng, net2000-decode --pcapng): link type 147 (LINKTYPE_USER0), one packet per
-- link frame, the direction in the packet flags, bytes of no frame as packets with a comment.
--
-- Shows the link frame (STX, word count, addresses, sequence and type, header and data checksums with
-- expert info when wrong, pad byte), the length prefix and the segments of long messages (gathered,
-- each segment pointing at the frame that completes the message), and the application messages of
-- every service, with what the driver makes of error replies. Replies carry no handles: the request
-- of the same master and station is remembered and its items shown beside the reply's data.
--
-- Install: copy into a Lua plugin folder (Help > About > Folders), e.g. ~/.local/lib/wireshark/plugins/,
-- or run tshark -X lua_script:net2000.lua. Fields: net2000.* (net2000.src, net2000.dst, net2000.type,
-- net2000.code, net2000.handle, net2000.error, ...).

local net2000 = Proto("net2000", "Net2000 link")

local LINKTYPE_USER0_ENCAP = wtap_encaps and wtap_encaps.USER0 or wtap.USER0

-- ---------------------------------------------------------------------------------------------------
-- Names
-- ---------------------------------------------------------------------------------------------------

local STX = 0x02

local frame_types = {
    [0x1] = "RequestLast", [0x2] = "RequestMore", [0x3] = "ReplyLast", [0x4] = "ReplyMore",
    [0x5] = "NextReplySegment", [0x6] = "SegmentRefused", [0x7] = "NextRequestSegment",
    [0xD] = "ReplyAckWanted", [0xE] = "Ack", [0xF] = "AckFinal",
}
local master_types = { [0x1] = true, [0x2] = true, [0x5] = true, [0xE] = true }
local station_types = { [0x3] = true, [0x4] = true, [0x6] = true, [0x7] = true, [0xD] = true, [0xF] = true }

local LOOKUP, TEXT, READ, WRITE, READ_LONG, WRITE_LONG, ERROR = 17, 18, 33, 34, 49, 50, 153
local message_codes = {
    [17] = "Lookup", [18] = "Text", [33] = "Read", [34] = "Write", [49] = "ReadLong", [50] = "WriteLong",
    [145] = "Lookup (bit 0x80)", [146] = "Text (bit 0x80)", [161] = "Read with extra data",
    [162] = "Write with extra data", [177] = "ReadLong (bit 0x80)", [178] = "WriteLong (bit 0x80)",
    [153] = "Error",
}
local data_types = {
    [1] = "BOOL", [2] = "INT", [3] = "INT(3)", [4] = "DINT", [5] = "UINT", [6] = "UINT(6)", [7] = "UDINT",
    [8] = "REAL",
}
local data_type_sizes = { 1, 2, 2, 4, 2, 2, 4, 4 }
local checksum_status = { [0] = "Bad", [1] = "Good" }
local errcode_meanings = {
    [0] = "done", [1] = "frame not written completely (port), or station error 1",
    [10] = "no reply after 3 retransmissions", [22] = "segments out of order",
    [40] = "station not connected", [42] = "request longer than the station takes", [43] = "reply counter wrong",
    [44] = "reply code wrong", [45] = "reply length wrong", [60] = "reply larger than the driver's buffer",
    [100] = "station refused a segmented request",
}

-- ---------------------------------------------------------------------------------------------------
-- Fields
-- ---------------------------------------------------------------------------------------------------

local f = {
    dir = ProtoField.string("net2000.dir", "Direction"),
    outside = ProtoField.string("net2000.outside", "Not a frame"),
    stx = ProtoField.uint8("net2000.stx", "Start", base.HEX),
    words = ProtoField.uint8("net2000.words", "Data words", base.DEC),
    dst = ProtoField.uint8("net2000.dst", "Destination", base.DEC),
    src = ProtoField.uint8("net2000.src", "Source", base.DEC),
    control = ProtoField.uint8("net2000.control", "Control", base.HEX),
    seq = ProtoField.uint8("net2000.seq", "Sequence", base.DEC, nil, 0xF0),
    type = ProtoField.uint8("net2000.type", "Frame type", base.HEX, frame_types, 0x0F),
    hcs = ProtoField.uint8("net2000.hcs", "Header checksum", base.HEX),
    hcs_status = ProtoField.uint8("net2000.hcs.status", "Header checksum status", base.DEC, checksum_status),
    data = ProtoField.bytes("net2000.data", "Data"),
    pad = ProtoField.uint8("net2000.pad", "Pad byte", base.HEX),
    dcs = ProtoField.uint16("net2000.dcs", "Data checksum", base.HEX),
    dcs_status = ProtoField.uint8("net2000.dcs.status", "Data checksum status", base.DEC, checksum_status),
    dcs_computed = ProtoField.uint16("net2000.dcs.computed", "Computed data checksum", base.HEX),
    repeat_of = ProtoField.framenum("net2000.repeat", "Same frame as"),
    stale = ProtoField.uint8("net2000.stale", "Stale sequence (master's last)", base.DEC),
    prefix = ProtoField.uint32("net2000.prefix", "Length prefix", base.DEC),
    prefix_long = ProtoField.bool("net2000.prefix.long", "Four-byte prefix"),
    segment_of = ProtoField.uint32("net2000.segment.total", "Message length", base.DEC),
    segment_count = ProtoField.uint32("net2000.segment.gathered", "Bytes gathered", base.DEC),
    first_segment = ProtoField.framenum("net2000.segment.first", "First segment"),
    reassembled_in = ProtoField.framenum("net2000.reassembled_in", "Message completed in"),
    segments = ProtoField.string("net2000.segments", "Segments"),
    message = ProtoField.bytes("net2000.message", "Message"),
    marker = ProtoField.uint8("net2000.marker", "Marker", base.HEX),
    counter = ProtoField.uint8("net2000.counter", "Message counter", base.DEC),
    code = ProtoField.uint8("net2000.code", "Message code", base.DEC, message_codes),
    service = ProtoField.string("net2000.service", "Message"),
    request_in = ProtoField.framenum("net2000.request_in", "Request in", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("net2000.response_in", "Reply in", base.NONE, frametype.RESPONSE),
    count = ProtoField.uint16("net2000.count", "Count", base.DEC),
    item = ProtoField.string("net2000.item", "Item"),
    handle = ProtoField.uint16("net2000.handle", "Handle", base.HEX),
    handle_high = ProtoField.uint16("net2000.handle.high", "Handle, upper half", base.HEX),
    length = ProtoField.uint32("net2000.length", "Length", base.DEC),
    status = ProtoField.uint16("net2000.status", "Item status", base.DEC),
    item_data = ProtoField.bytes("net2000.item.data", "Item data"),
    value = ProtoField.string("net2000.value", "Value"),
    name = ProtoField.string("net2000.name", "Object name"),
    key = ProtoField.bytes("net2000.key", "Object key"),
    object = ProtoField.uint16("net2000.connect.object", "Station object", base.DEC),
    obj2 = ProtoField.uint16("net2000.connect.obj2", "Object 2 (item head form)", base.DEC),
    obj4 = ProtoField.bytes("net2000.connect.obj4", "Object 4"),
    obj5 = ProtoField.uint16("net2000.connect.obj5", "Object 5", base.HEX),
    buffer = ProtoField.uint32("net2000.connect.buffer", "Object 6: message buffer size", base.DEC),
    item_form = ProtoField.string("net2000.connect.item_form", "Item heads of later reads and writes"),
    control_write = ProtoField.bytes("net2000.control.write", "Control write"),
    lookup_status = ProtoField.uint8("net2000.lookup.status", "Lookup status", base.DEC),
    lookup_rc = ProtoField.uint8("net2000.lookup.rc", "Driver's rc", base.DEC),
    kind = ProtoField.uint8("net2000.lookup.kind", "Object kind", base.DEC,
        { [1] = "array", [2] = "structure", [3] = "structure" }),
    unexamined = ProtoField.bytes("net2000.lookup.unexamined", "Not examined"),
    object_length = ProtoField.uint32("net2000.lookup.length", "Object length", base.DEC),
    data_type = ProtoField.uint16("net2000.lookup.datatype", "Data type", base.DEC, data_types),
    aux = ProtoField.uint32("net2000.lookup.aux", "Aux", base.DEC),
    element_length = ProtoField.uint32("net2000.lookup.element_length", "Element length", base.DEC),
    text = ProtoField.string("net2000.text", "Text"),
    text_status = ProtoField.uint16("net2000.text.status", "Text status", base.DEC),
    error_flags = ProtoField.uint8("net2000.error.flags", "Error flags", base.HEX),
    error = ProtoField.uint16("net2000.error", "Station error number", base.DEC),
    result = ProtoField.uint32("net2000.result", "Driver's result", base.DEC),
    errcode = ProtoField.uint8("net2000.errcode", "Driver's ErrCode", base.DEC),
    extra = ProtoField.bytes("net2000.extra", "Extra data"),
    rest = ProtoField.bytes("net2000.rest", "Unexpected bytes"),
}
local field_list = {}
for _, v in pairs(f) do field_list[#field_list + 1] = v end
net2000.fields = field_list

local e = {
    hcs = ProtoExpert.new("net2000.hcs.bad", "Header checksum wrong", expert.group.CHECKSUM, expert.severity.WARN),
    dcs = ProtoExpert.new("net2000.dcs.bad", "Data checksum wrong: the driver drops the frame",
        expert.group.CHECKSUM, expert.severity.WARN),
    outside = ProtoExpert.new("net2000.outside.bytes", "Bytes outside any frame", expert.group.MALFORMED,
        expert.severity.WARN),
    cut = ProtoExpert.new("net2000.cut", "Frame cut short", expert.group.MALFORMED, expert.severity.WARN),
    echo = ProtoExpert.new("net2000.echo", "Echo of the frame sent (RS485 converter)", expert.group.SEQUENCE,
        expert.severity.NOTE),
    repeat_frame = ProtoExpert.new("net2000.repeat.frame", "Frame repeated", expert.group.SEQUENCE,
        expert.severity.NOTE),
    stale = ProtoExpert.new("net2000.stale.frame", "Stale sequence number: the driver drops the frame",
        expert.group.SEQUENCE, expert.severity.WARN),
    foreign = ProtoExpert.new("net2000.foreign", "Addressed to another master: the driver drops it",
        expert.group.SEQUENCE, expert.severity.WARN),
    prefix = ProtoExpert.new("net2000.prefix.bad", "Length prefix does not fit the frame", expert.group.MALFORMED,
        expert.severity.WARN),
    error_reply = ProtoExpert.new("net2000.error.reply", "Error reply: the driver fails the request",
        expert.group.RESPONSE_CODE,
        expert.severity.WARN),
    counter = ProtoExpert.new("net2000.counter.mismatch", "Reply counter differs from the request's",
        expert.group.SEQUENCE, expert.severity.WARN),
    code = ProtoExpert.new("net2000.code.mismatch", "Reply code does not answer the request", expert.group.PROTOCOL,
        expert.severity.WARN),
    short = ProtoExpert.new("net2000.short", "Message ends early", expert.group.MALFORMED, expert.severity.WARN),
    unknown_type = ProtoExpert.new("net2000.type.unknown", "Unknown frame type", expert.group.PROTOCOL,
        expert.severity.WARN),
}
net2000.experts = { e.hcs, e.dcs, e.outside, e.cut, e.echo, e.repeat_frame, e.stale, e.foreign, e.prefix,
    e.error_reply, e.counter, e.code, e.short, e.unknown_type }

local comment_field = Field.new("frame.comment")

-- ---------------------------------------------------------------------------------------------------
-- Small helpers over Lua strings of bytes (messages gathered from segments live as strings)
-- ---------------------------------------------------------------------------------------------------

local function byte_at(s, i) return s:byte(i + 1) end -- offsets from 0, as on the wire
local function be16(s, i) return byte_at(s, i) * 256 + byte_at(s, i + 1) end
local function be32(s, i) return be16(s, i) * 65536 + be16(s, i + 2) end
local function token(s, i) return byte_at(s, i) + byte_at(s, i + 1) * 256 end -- first wire byte is the low byte
local function even(n) return n + n % 2 end
local function hex(s, from, n)
    local parts = {}
    for i = from, math.min(#s, from + n) - 1 do parts[#parts + 1] = string.format("%02X", byte_at(s, i)) end
    return table.concat(parts, " ")
end
local function quote(name)
    return '"' .. name:gsub("[^\32-\126]", function(c) return string.format("\\x%02X", c:byte()) end) .. '"'
end

local function signed(v, bits)
    local half = 2 ^ (bits - 1)
    if v >= half then return v - 2 ^ bits end
    return v
end

-- One element of a PLC data type, most significant byte first.
local function element(data_type, s, i)
    if data_type == 1 then return tostring(byte_at(s, i)) end
    if data_type == 2 or data_type == 3 then return string.format("%d", signed(be16(s, i), 16)) end
    if data_type == 5 or data_type == 6 then return string.format("%d", be16(s, i)) end
    if data_type == 4 then return string.format("%d", signed(be32(s, i), 32)) end
    if data_type == 7 then return string.format("%d", be32(s, i)) end
    if data_type == 8 then
        local v = be32(s, i)
        local sign = v >= 0x80000000 and -1 or 1
        local exponent = math.floor(v / 0x800000) % 256
        local mantissa = v % 0x800000
        if exponent == 0 then return string.format("%.7g", sign * mantissa * 2 ^ -149) end
        if exponent == 255 then return mantissa == 0 and (sign < 0 and "-inf" or "inf") or "nan" end
        return string.format("%.7g", sign * (1 + mantissa / 0x800000) * 2 ^ (exponent - 127))
    end
    return hex(s, i, 1)
end

-- The data of an item as values of its object, when a lookup told what the object is.
local function typed(object, s, from, n)
    if object == nil then return nil end
    local length = (object.length ~= 0 and object.length <= n) and object.length or n
    local size = data_type_sizes[object.data_type] or 0
    if (object.kind == 2 or object.kind == 3) and length == 12 then
        if byte_at(s, from) == 0 then return "EWT structure empty" end
        return string.format("EWT record of %02u.%02u.%04u %02u:%02u [%s]", byte_at(s, from + 1),
            byte_at(s, from + 2), be16(s, from + 4), byte_at(s, from + 6), byte_at(s, from + 7), hex(s, from + 8, 4))
    end
    if size == 0 or length == 0 or length % size ~= 0 then return nil end
    local count = length / size
    if count == 1 then return element(object.data_type, s, from) end
    local parts = {}
    for k = 0, math.min(count, 16) - 1 do parts[#parts + 1] = element(object.data_type, s, from + k * size) end
    if count > 16 then parts[#parts + 1] = string.format(".. (%d values)", count) end
    return "[" .. table.concat(parts, " ") .. "]"
end

local function errcode_meaning(low)
    if errcode_meanings[low] then return errcode_meanings[low] end
    if low > 100 and low < 170 then return "station error reply, number = ErrCode - 100" end
    return "station error reply, number = ErrCode"
end

-- ---------------------------------------------------------------------------------------------------
-- The line, packet by packet, in capture order: frames, conversations of a master and a station,
-- messages gathered from segments, requests remembered for their replies, objects learned from
-- lookups. Worked out once per packet on the first pass and kept by frame number.
-- ---------------------------------------------------------------------------------------------------

local packets, conversations, last_master, objects

local function reset()
    packets, conversations, last_master, objects = {}, {}, {}, {}
end
reset()
net2000.init = reset -- a new capture file starts afresh

local function conversation(master, station)
    local key = master * 256 + station
    local c = conversations[key]
    if c == nil then
        c = { request = nil, reply = nil, last_master_frame = nil, last_station_frame = nil, last_master_number = 0,
            last_station_number = 0, master_seq = nil, last_request = nil }
        conversations[key] = c
    end
    return c
end

local function objects_of(station)
    local o = objects[station]
    if o == nil then
        o = {}
        objects[station] = o
    end
    return o
end

-- Length prefix of a segment: two bytes, or four with the top bit set.
local function get_prefix(data)
    if #data >= 4 and byte_at(data, 0) >= 0x80 then
        return (byte_at(data, 0) - 0x80) * 0x1000000 + byte_at(data, 1) * 0x10000 + be16(data, 2), 4
    end
    if #data >= 2 then return be16(data, 0), 2 end
    return nil, 0
end

-- The items of a read or write request, as the reply needs them: handle, length when known, name.
local function request_items(m, station, write)
    local known = objects_of(station)
    local items = {}
    if #m < 6 then return items end
    local count = be16(m, 4)
    local long = (byte_at(m, 3) == READ_LONG or byte_at(m, 3) == WRITE_LONG)
    local pos = 6
    for i = 1, count do
        local item = {}
        if long then
            if pos + 6 > #m then break end
            item.handle = token(m, pos)
            item.high = token(m, pos + 2)
            item.length = token(m, pos + 4)
            item.head = 6
        else
            if pos + 2 > #m then break end
            item.handle = token(m, pos)
            item.head = 2
        end
        item.offset = pos
        pos = pos + item.head
        local object = known[item.handle]
        if object ~= nil then
            item.name = object.name
            if item.length == nil then item.length = object.length end
        end
        if write then
            local left = #m - pos
            local take = item.length and even(item.length) or 0
            if item.length == nil or take > left then take = (i == count) and left or 0 end
            item.data_offset = pos
            item.data_length = take
            pos = pos + take
            items[#items + 1] = item
            if take == 0 and item.length == nil then break end
        else
            items[#items + 1] = item
        end
    end
    return items
end

local function request_info(m, station, number)
    local r = { number = number, counter = 0, code = 0, marker = 0, kind = "?", items = {} }
    if #m < 4 then return r end
    r.marker, r.counter, r.code = byte_at(m, 0), byte_at(m, 2), byte_at(m, 3)
    if (r.code == READ or r.code == READ_LONG) then
        r.kind = (r.code == READ and r.marker == 0xFF) and "Connect" or "Read"
        if r.kind == "Read" then r.items = request_items(m, station, false) end
    elseif r.code == WRITE or r.code == WRITE_LONG then
        r.kind = (r.code == WRITE and r.marker == 0xFF) and "Control" or "Write"
        if r.kind == "Write" then r.items = request_items(m, station, true) end
    elseif r.code == LOOKUP then
        r.kind = "Lookup"
        local names, name = {}, {}
        local count = #m >= 6 and be16(m, 4) or 0
        for i = 6, #m - 1 do
            local b = byte_at(m, i)
            if b == 0 then
                names[#names + 1] = table.concat(name)
                name = {}
                if #names == count then break end
            else
                name[#name + 1] = string.char(b)
            end
        end
        if #name > 0 and #names < count then names[#names + 1] = table.concat(name) end
        r.names = names
    elseif r.code == TEXT then
        r.kind = "Text"
    end
    return r
end

-- What the lookup reply teaches: handle -> object, per station.
local function learn_lookup(m, station, request)
    local known = objects_of(station)
    local index = 0
    local pos = 4
    while #m - pos >= 22 do
        index = index + 1
        if byte_at(m, pos) == 0 then
            known[token(m, pos + 2)] = {
                name = request.names and request.names[index] or "", kind = byte_at(m, pos + 1),
                length = be32(m, pos + 8), data_type = be16(m, pos + 12), element_length = be32(m, pos + 18) }
        end
        pos = pos + 22
    end
end

-- The segments of one direction of a conversation (c.request or c.reply): a "more" frame opens a
-- message or continues it when its prefix gives the bytes still due; any other frame with a prefix
-- ends one, or is a message of its own. Returns the whole message when this frame completes one.
local function gather(rec, c, key, data, more_type)
    local length, ps = get_prefix(data)
    if length == nil then return nil end
    rec.prefix, rec.prefix_size = length, ps
    local carried = #data - ps
    local r = c[key]
    local continues = r ~= nil and length == r.total - #r.bytes
    if rec.type ~= more_type and not continues then
        c[key] = nil
        if carried ~= length and carried ~= length + 1 then rec.prefix_mismatch = carried end
        return data:sub(ps + 1, ps + math.min(carried, length))
    end
    if not continues then
        r = { total = length, bytes = "", frames = {} }
        c[key] = r
    end
    r.bytes = r.bytes .. data:sub(ps + 1, ps + math.min(carried, r.total - #r.bytes))
    r.frames[#r.frames + 1] = rec.number
    rec.segment = { total = r.total, gathered = #r.bytes, first = r.frames[1], frames = r.frames }
    if rec.type == more_type then return nil end
    for _, n in ipairs(r.frames) do
        if packets[n] and packets[n].segment then packets[n].segment.completed = rec.number end
    end
    rec.segment.completed = rec.number
    c[key] = nil
    return r.bytes
end

local function track_master(rec, frame, data, c, station)
    c.master_seq = rec.seq
    if c.last_master_frame == frame then
        rec.repeat_of = c.last_master_number
        return
    end
    c.last_master_frame, c.last_master_number = frame, rec.number
    c.last_station_frame = nil
    if rec.type == 0x5 or rec.type == 0xE then return end
    local message = gather(rec, c, "request", data, 0x2)
    if message == nil then return end
    rec.message = message
    rec.from_master = true
    local info = request_info(message, station, rec.number)
    rec.request = info
    c.last_request = info
end

local function track_station(rec, frame, data, c, station)
    if c.master_seq ~= nil and rec.seq ~= c.master_seq then
        rec.stale = c.master_seq
        return
    end
    if c.last_station_frame == frame then
        rec.repeat_of = c.last_station_number
        return
    end
    c.last_station_frame, c.last_station_number = frame, rec.number
    if rec.type == 0x7 or rec.type == 0x6 or rec.type == 0xF then return end
    local message = gather(rec, c, "reply", data, 0x4)
    if message == nil then return end
    rec.message = message
    rec.from_master = false
    rec.request = c.last_request
    if rec.request then
        if packets[rec.request.number] then packets[rec.request.number].response_in = rec.number end
        if #message >= 4 and byte_at(message, 3) == LOOKUP and rec.request.code == LOOKUP then
            learn_lookup(message, station, rec.request)
        end
    end
end

-- The first look at a good frame: repeats, stale answers, answers to another master, segments.
local function track(rec, tvb)
    local frame = tvb:raw(0, tvb:len())
    local data = tvb:raw(6, rec.words * 2)
    if master_types[rec.type] then
        last_master[rec.dst] = rec.src
        track_master(rec, frame, data, conversation(rec.src, rec.dst), rec.dst)
    elseif station_types[rec.type] then
        local m = last_master[rec.src]
        if m ~= nil and m ~= rec.dst then
            rec.foreign = m
            return
        end
        track_station(rec, frame, data, conversation(rec.dst, rec.src), rec.src)
    else
        rec.unknown_type = true
    end
end

-- ---------------------------------------------------------------------------------------------------
-- Application messages
-- ---------------------------------------------------------------------------------------------------

local function item_label(item)
    if item.name then return item.name end
    return string.format("h=%04X", item.handle)
end

local function add_items_request(tree, mt, m, request, write)
    local parts = {}
    for _, item in ipairs(request.items) do
        local len = item.head + (write and item.data_length or 0)
        local it = tree:add(f.item, mt(item.offset, len), item_label(item))
        it:add(f.handle, mt(item.offset, 2), item.handle)
        if item.head == 6 then
            it:add_le(f.handle_high, mt(item.offset + 2, 2))
            it:add_le(f.length, mt(item.offset + 4, 2))
        elseif item.length then
            it:add(f.length, item.length):set_generated()
        end
        if item.name then it:add(f.name, item.name):set_generated() end
        local text = item_label(item)
        if item.name then
            text = text .. string.format(" (h=%04X%s)", item.handle, item.length and (", " .. item.length .. " bytes") or "")
        elseif item.length then
            text = text .. string.format(" (%d bytes)", item.length)
        end
        if write then
            if item.data_length > 0 then it:add(f.item_data, mt(item.data_offset, item.data_length)) end
            local object = objects_of(request.station or 0)[item.handle]
            local v = item.data_length > 0 and typed(object, m, item.data_offset, item.data_length) or nil
            if v then it:add(f.value, v):set_generated() end
            text = item_label(item) .. " := " .. (v or hex(m, item.data_offset, item.data_length))
        end
        it:append_text(": " .. text)
        parts[#parts + 1] = text
    end
    return table.concat(parts, ", ")
end

local function dissect_request(tree, mt, m, rec)
    local r = rec.request
    local summary
    if r.kind == "Connect" then
        local count = #m >= 6 and be16(m, 4) or 0
        tree:add(f.count, mt(4, 2))
        local objs = {}
        for i = 0, count - 1 do
            if 6 + 2 * i + 2 > #m then break end
            tree:add(f.object, mt(6 + 2 * i, 2))
            objs[#objs + 1] = tostring(be16(m, 6 + 2 * i))
        end
        summary = "Connect: reads the station objects " .. table.concat(objs, ", ")
    elseif r.kind == "Control" then
        tree:add(f.control_write, mt(4, #m - 4))
        summary = "Control write: " .. hex(m, 4, #m - 4) .. " (stores 2 into station object 4)"
    elseif r.kind == "Read" or r.kind == "Write" then
        if #m >= 6 then tree:add(f.count, mt(4, 2)) end
        local name = message_codes[r.code] or r.kind
        summary = name .. " " .. add_items_request(tree, mt, m, r, r.kind == "Write")
    elseif r.kind == "Lookup" then
        if #m >= 6 then tree:add(f.count, mt(4, 2)) end
        local quoted = {}
        if #m == 20 and be16(m, 4) == 1 and #r.names ~= 1 then
            tree:add(f.key, mt(6, 14))
            summary = "Lookup by key " .. hex(m, 6, 14)
        else
            local pos = 6
            for _, n in ipairs(r.names) do
                local len = math.min(#n + 1, #m - pos)
                if len > 0 then tree:add(f.name, mt(pos, len), n) end
                pos = pos + #n + 1
                quoted[#quoted + 1] = quote(n)
            end
            summary = "Lookup " .. table.concat(quoted, ", ")
        end
    elseif r.kind == "Text" then
        local text = m:sub(5):match("^[^%z]*")
        tree:add(f.text, mt(4, #m - 4), text)
        summary = "Text request " .. quote(text)
    else
        summary = string.format("message code %d: %s", r.code, hex(m, 4, #m - 4))
    end
    return summary
end

local function dissect_error(tree, mt, m, pinfo)
    if #m < 8 then
        tree:add_proto_expert_info(e.short)
        return "Error reply shorter than 8 bytes (the driver fails with 65325, ErrCode 45)"
    end
    local flags, number = byte_at(m, 5), be16(m, 6)
    tree:add(f.error_flags, mt(5, 1))
    tree:add(f.error, mt(6, 2))
    local result
    if bit32.band(flags, 0x10) ~= 0 then
        result = 65380 + number
    elseif number == 0 then
        result = 65324
    else
        result = number
    end
    local low = result % 256
    tree:add(f.result, result):set_generated()
    tree:add(f.errcode, low):set_generated()
    local text = string.format("Error reply: station error %d, flags 0x%02X; the driver fails the request with %d "
        .. "(ErrCode %d: %s)", number, flags, result, low, errcode_meaning(low))
    tree:add_proto_expert_info(e.error_reply)
    return text
end

local function dissect_reply(tree, mt, m, rec, station)
    local request = rec.request
    local head = ""
    local counter, code = byte_at(m, 2), byte_at(m, 3)
    if request then
        tree:add(f.request_in, request.number):set_generated()
        if counter ~= request.counter then
            tree:add_proto_expert_info(e.counter)
            head = string.format("counter %d does not match the request's %d; ", counter, request.counter)
        end
    end
    if code == ERROR then return head .. dissect_error(tree, mt, m) end
    local base = code % 128
    local extra_flag = code >= 128 and (base == READ or base == WRITE)
    if request == nil then
        return head .. string.format("reply code %d (its request was not seen): %s", code, hex(m, 4, #m - 4))
    end
    if base ~= request.code and not (base == READ and request.code == READ_LONG) and
        not (base == WRITE and request.code == WRITE_LONG) then
        tree:add_proto_expert_info(e.code)
        return head .. string.format("reply code %d to a request of code %d (the driver fails with 65324, ErrCode 44)",
            code, request.code)
    end
    if base ~= code and not extra_flag then
        return head .. string.format("reply with code %d: the driver takes it as done and writes nothing", code)
    end
    local known = objects_of(station)
    if base == LOOKUP then
        local parts = {}
        local pos, index = 4, 0
        while #m - pos >= 22 do
            index = index + 1
            local name = request.names and request.names[index] or ""
            local status = byte_at(m, pos)
            local it = tree:add(f.item, mt(pos, 22), quote(name))
            it:add(f.lookup_status, mt(pos, 1))
            it:add(f.kind, mt(pos + 1, 1))
            local part = quote(name)
            if status == 0 then
                it:add(f.handle, mt(pos + 2, 2), token(m, pos + 2))
                it:add(f.unexamined, mt(pos + 4, 4))
                it:add(f.object_length, mt(pos + 8, 4))
                it:add(f.data_type, mt(pos + 12, 2))
                it:add(f.aux, mt(pos + 14, 4))
                it:add(f.element_length, mt(pos + 18, 4))
                local kind = byte_at(m, pos + 1)
                local kind_name = kind == 1 and "array" or ((kind == 2 or kind == 3) and "structure" or "single")
                local dt = be16(m, pos + 12)
                part = part .. string.format(" h=%04X %s %s, %d bytes", token(m, pos + 2), kind_name,
                    data_types[dt] or ("type " .. dt), be32(m, pos + 8))
            else
                local rc = (status + 256 - 86) % 256
                it:add(f.lookup_rc, rc):set_generated()
                part = part .. string.format(" not known (status %d; the driver logs rc=%d)", status, rc)
            end
            it:append_text(": " .. part:sub(#quote(name) + 2))
            parts[#parts + 1] = part
            pos = pos + 22
        end
        if #m > pos then tree:add(f.rest, mt(pos, #m - pos)) end
        return head .. "Lookup reply " .. table.concat(parts, ", ")
    end
    if base == TEXT then
        if #m >= 6 then tree:add(f.text_status, mt(4, 2)) end
        local text = #m > 6 and m:sub(7):match("^[^%z]*") or ""
        if #m > 6 then tree:add(f.text, mt(6, #m - 6), text) end
        return head .. string.format("Text reply: status %d, %s", #m >= 6 and be16(m, 4) or 0, quote(text))
    end
    if request.kind == "Connect" then
        if #m < 14 then
            tree:add_proto_expert_info(e.short)
            return head .. "Connect reply shorter than 14 bytes: " .. hex(m, 0, #m)
        end
        local obj2 = be16(m, 4)
        tree:add(f.obj2, mt(4, 2))
        tree:add(f.obj4, mt(6, 2))
        tree:add(f.obj5, mt(8, 2))
        tree:add(f.buffer, mt(10, 4))
        local form = obj2 < 128 and "long item heads, codes 49/50" or "short item heads, codes 33/34"
        tree:add(f.item_form, form):set_generated()
        if #m > 14 then tree:add(f.extra, mt(14, #m - 14)) end
        return head .. string.format("Connect reply: object 2 = %d (%s), object 4 = %s, object 5 = %04X, buffer %d bytes",
            obj2, form, hex(m, 6, 2), be16(m, 8), be32(m, 10))
    end
    if request.kind == "Control" then return head .. "Control write done" end
    if base == READ or base == READ_LONG then
        local parts = {}
        local pos = 4
        local lost = false
        for i, item in ipairs(request.items) do
            local take = item.length and even(item.length) or 0
            if item.length == nil or take > #m - pos then
                if i ~= #request.items then
                    lost = true
                    break
                end
                take = #m - pos
            end
            local it = tree:add(f.item, mt(pos, take), item_label(item))
            it:add(f.handle, item.handle):set_generated()
            if item.length then it:add(f.length, item.length):set_generated() end
            it:add(f.status, 0):set_generated()
            if take > 0 then it:add(f.item_data, mt(pos, take)) end
            local v = typed(known[item.handle], m, pos, take)
            if v then it:add(f.value, v):set_generated() end
            local text = item_label(item) .. " = " .. (v or hex(m, pos, take))
            it:append_text(": " .. text:sub(#item_label(item) + 4))
            parts[#parts + 1] = text
            pos = pos + take
        end
        local summary = head .. "Read reply " .. table.concat(parts, ", ")
        if lost then
            tree:add(f.rest, mt(pos, #m - pos))
            summary = summary .. ", then " .. hex(m, pos, #m - pos) .. " (item lengths unknown: their lookups were not seen)"
        elseif #m > pos then
            tree:add(extra_flag and f.extra or f.rest, mt(pos, #m - pos))
            summary = summary .. (extra_flag and " +extra " or " +unexpected ") .. hex(m, pos, #m - pos)
        end
        return summary
    end
    if base == WRITE or base == WRITE_LONG then
        for _, item in ipairs(request.items) do
            local it = tree:add(f.item, item_label(item)):set_generated()
            it:add(f.handle, item.handle):set_generated()
            if item.length then it:add(f.length, item.length):set_generated() end
            it:add(f.status, 0):set_generated()
        end
        local summary = head .. "Write done"
        if #m > 4 then
            tree:add(extra_flag and f.extra or f.rest, mt(4, #m - 4))
            summary = summary .. (extra_flag and " +extra " or " +unexpected ") .. hex(m, 4, #m - 4)
        end
        return summary
    end
    return head .. string.format("reply code %d: %s", code, hex(m, 4, #m - 4))
end

local function dissect_message(tree, tvb, rec, pinfo)
    local m = rec.message
    local mtvb
    if rec.segment and #rec.segment.frames > 1 then
        mtvb = ByteArray.new(m, true):tvb("Net2000 message")
    else
        mtvb = tvb(6 + rec.prefix_size, #m):tvb()
    end
    local function mt(offset, length) return mtvb(offset, length) end
    local station = rec.from_master and rec.dst or rec.src
    local mtree = tree:add(f.message, mtvb(), "")
    mtree:set_text(string.format("Net2000 message, %d bytes", #m))
    if #m < 4 then
        mtree:add_proto_expert_info(e.short)
        return "message too short: " .. hex(m, 0, #m)
    end
    mtree:add(f.marker, mt(0, 1))
    mtree:add(f.counter, mt(2, 1))
    mtree:add(f.code, mt(3, 1))
    local summary
    if rec.from_master then
        rec.request.station = station
        if rec.response_in then mtree:add(f.response_in, rec.response_in):set_generated() end
        summary = dissect_request(mtree, mt, m, rec)
    else
        summary = dissect_reply(mtree, mt, m, rec, station)
    end
    mtree:add(f.service, summary):set_generated()
    return string.format("#%d %s", byte_at(m, 2), summary)
end

-- ---------------------------------------------------------------------------------------------------
-- The packet
-- ---------------------------------------------------------------------------------------------------

local function header_ok(tvb)
    return bit32.bxor(tvb(0, 1):uint(), tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(3, 1):uint(), tvb(4, 1):uint()) ==
        tvb(5, 1):uint()
end

-- A packet holds one whole frame, or bytes that are none: the start of one cut short, or bytes
-- outside any frame (a header with a wrong checksum among them).
local function classify(tvb)
    local n = tvb:len()
    if n == 0 or tvb(0, 1):uint() ~= STX then return "outside" end
    if n < 6 then return "cut" end
    if not header_ok(tvb) then return "outside" end
    local total = tvb(1, 1):uint() * 2 + 8
    if n == total then return "frame" end
    if n < total then return "cut" end
    return "outside"
end

local function direction_letter(pinfo, comment)
    if comment and comment:sub(1, 5) == "echo:" then return "E" end
    if pinfo.p2p_dir == P2P_DIR_SENT then return "M" end
    if pinfo.p2p_dir == P2P_DIR_RECV then return "S" end
    return "?"
end

local function add_header(tree, tvb)
    tree:add(f.stx, tvb(0, 1))
    if tvb:len() < 6 then return true end
    tree:add(f.words, tvb(1, 1))
    tree:add(f.dst, tvb(2, 1))
    tree:add(f.src, tvb(3, 1))
    local control = tree:add(f.control, tvb(4, 1))
    control:add(f.seq, tvb(4, 1))
    control:add(f.type, tvb(4, 1))
    local hcs = tree:add(f.hcs, tvb(5, 1))
    local good = header_ok(tvb)
    hcs:add(f.hcs_status, good and 1 or 0):set_generated()
    if not good then
        local computed = bit32.bxor(tvb(0, 1):uint(), tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(3, 1):uint(),
            tvb(4, 1):uint())
        hcs:append_text(string.format(" (wrong: computed %02X)", computed))
        hcs:add_proto_expert_info(e.hcs)
    end
    return good
end

function net2000.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "Net2000"
    local comment_info = comment_field()
    local comment = comment_info and tostring(comment_info.value) or nil
    local dir = direction_letter(pinfo, comment)
    local root = tree:add(net2000, tvb())
    root:add(f.dir, dir == "M" and "master" or dir == "S" and "station" or dir == "E" and "echo" or "unknown")
        :set_generated()
    local n = tvb:len()
    local kind = dir == "E" and "echo" or classify(tvb)
    if kind ~= "frame" then
        root:add(f.outside, kind):set_generated()
        if n >= 1 and tvb(0, 1):uint() == STX and kind ~= "echo" then add_header(root, tvb) end
        if kind == "echo" then
            root:add_proto_expert_info(e.echo)
            pinfo.cols.info = string.format("E echo of %d bytes", n)
        elseif kind == "cut" then
            root:add_proto_expert_info(e.cut)
            pinfo.cols.info = string.format("%s frame cut short: %s", dir, hex(tvb:raw(0, n), 0, math.min(n, 48)))
        else
            root:add_proto_expert_info(e.outside)
            pinfo.cols.info = string.format("%s %d bytes outside any frame: %s", dir, n,
                hex(tvb:raw(0, n), 0, math.min(n, 48)))
        end
        return n
    end

    local rec = packets[pinfo.number]
    local fresh = rec == nil
    if fresh then
        local control = tvb(4, 1):uint()
        rec = { number = pinfo.number, words = tvb(1, 1):uint(), dst = tvb(2, 1):uint(), src = tvb(3, 1):uint(),
            seq = bit32.rshift(control, 4), type = bit32.band(control, 0x0F) }
    end
    add_header(root, tvb)
    local w = rec.words
    local data_len = w * 2
    if data_len > 0 then
        local data = root:add(f.data, tvb(6, data_len))
        -- a pad byte follows odd data: visible only as a zero at the end, so it is named when the
        -- message's own length says the last byte is padding
        data:set_text(string.format("Data: %d bytes (%d words)", data_len, w))
    end
    -- Data checksum: the data words XORed into the header checksum, big-endian.
    local sum_hi, sum_lo = 0, tvb(5, 1):uint()
    for i = 0, w - 1 do
        sum_hi = bit32.bxor(sum_hi, tvb(6 + 2 * i, 1):uint())
        sum_lo = bit32.bxor(sum_lo, tvb(7 + 2 * i, 1):uint())
    end
    local computed = sum_hi * 256 + sum_lo
    local dcs_item = root:add(f.dcs, tvb(6 + data_len, 2))
    local dcs_ok = tvb(6 + data_len, 2):uint() == computed
    dcs_item:add(f.dcs_status, dcs_ok and 1 or 0):set_generated()
    local type_name = frame_types[rec.type] or string.format("Type?%X", rec.type)
    local line = string.format("%s %3d>%-3d %-18s seq %2d", dir, rec.src, rec.dst, type_name, rec.seq)
    if not dcs_ok then
        dcs_item:add(f.dcs_computed, computed):set_generated()
        dcs_item:append_text(string.format(" (wrong: computed %04X)", computed))
        dcs_item:add_proto_expert_info(e.dcs)
        pinfo.cols.info = line .. string.format(" BAD data checksum %04X, computed %04X", tvb(6 + data_len, 2):uint(),
            computed)
        return n
    end
    line = line .. " ok"
    if fresh then
        track(rec, tvb)
        packets[pinfo.number] = rec
    end

    local notes = {}
    if rec.unknown_type then
        root:add_proto_expert_info(e.unknown_type)
        notes[#notes + 1] = "unknown frame type"
    end
    if rec.foreign then
        root:add_proto_expert_info(e.foreign)
        notes[#notes + 1] = string.format("addressed to %d, not to the master %d", rec.dst, rec.foreign)
    end
    if rec.stale then
        root:add(f.stale, rec.stale):set_generated()
        root:add_proto_expert_info(e.stale)
        notes[#notes + 1] = "stale answer"
    end
    if rec.repeat_of then
        root:add(f.repeat_of, rec.repeat_of):set_generated()
        root:add_proto_expert_info(e.repeat_frame)
        line = line .. " REPEAT"
    end
    if rec.prefix then
        local pt = root:add(f.prefix, tvb(6, rec.prefix_size), rec.prefix)
        if rec.prefix_size == 4 then pt:add(f.prefix_long, tvb(6, 1), true) end
        line = line .. " len " .. rec.prefix
        if rec.prefix_mismatch then
            pt:append_text(string.format(" (the frame carries %d bytes)", rec.prefix_mismatch))
            pt:add_proto_expert_info(e.prefix)
        end
        local carried = data_len - rec.prefix_size
        if rec.message and #rec.message % 2 == 1 and not rec.segment and carried == #rec.message + 1 then
            root:add(f.pad, tvb(6 + data_len - 1, 1))
        end
    end
    if rec.segment then
        local s = rec.segment
        local st = root:add(f.segments, string.format("segment %d of the message (%d of %d bytes)",
            #s.frames > 0 and (function() for i, k in ipairs(s.frames) do if k == rec.number then return i end end
                return #s.frames end)() or 1, s.gathered, s.total))
        st:set_generated()
        st:add(f.segment_of, s.total):set_generated()
        st:add(f.segment_count, s.gathered):set_generated()
        st:add(f.first_segment, s.first):set_generated()
        if s.completed then st:add(f.reassembled_in, s.completed):set_generated() end
        if not rec.message then
            notes[#notes + 1] = string.format("%s segment, %d of %d bytes", rec.type == 0x2 and "request" or "reply",
                s.gathered, s.total)
        end
    end
    if rec.type == 0x5 then notes[#notes + 1] = "asks for the next reply segment" end
    if rec.type == 0x7 then notes[#notes + 1] = "asks for the next request segment" end
    if rec.type == 0x6 then notes[#notes + 1] = "refuses the segmented request (the driver fails it with 65380)" end
    if rec.type == 0xE then notes[#notes + 1] = "acknowledges the reply" end
    if rec.type == 0xF then notes[#notes + 1] = "closes the acknowledge handshake" end
    if rec.type == 0xD then notes[#notes + 1] = "wants an acknowledge" end

    if rec.message then
        line = line .. " | " .. dissect_message(root, tvb, rec, pinfo)
    end
    if #notes > 0 then line = line .. "  (" .. table.concat(notes, "; ") .. ")" end
    pinfo.cols.info = line
    return n
end

DissectorTable.get("wtap_encap"):add(LINKTYPE_USER0_ENCAP, net2000)
