-- Wireshark dissector for the Orvane scanner's bulk protocol, as the
-- updater's wire traces (and USBPcap captures of the real scanner) carry it.
--   wireshark -X lua_script:tools/trace/fwupdate.lua TRACE.pcap
--   tshark -r TRACE.pcap -X lua_script:tools/trace/fwupdate.lua -Y fwupdate -T fields -e fwupdate.record ...
--
-- Every exchange is a 16-byte command block out, a 32-byte status reply in,
-- then for the clock set a 36-byte clock record out, for the clock read one
-- in, and for the firmware download the image out. Which record a bulk
-- payload is follows from the exchange so far, so the capture is walked in
-- order once and each frame keeps what it was found to be.
--
-- A record is measured by the length its packet reports (the URB's transfer
-- length), never by the bytes the capture kept: a capture with a small snap
-- length (or our own traces, past 1024 bytes) cuts packets short, and the
-- exchange must still be followed. Fields are decoded only from bytes that
-- were kept; a record that lost some says how many it kept.
--
-- A request the scanner never answers leaves a completion without payload,
-- which no heuristic sees: the driver gave the request up at its time-out
-- and completed it as cancelled (USBD_STATUS_CANCELED). A postdissector
-- names those by the record they were to carry.

local proto = Proto("fwupdate", "Orvane scanner protocol")

local OPCODES = { [0x12] = "OP_STATUS", [0x2A] = "OP_WRITE", [0x28] = "OP_READ" }
local SUBCODES = { [2] = "SUB_DEVICE", [8] = "SUB_FIRMWARE", [0x66] = "SUB_CLOCK" }
local STATES = { [0] = "STATE_READY", [6] = "STATE_RECOVERY", [7] = "STATE_BURNING" }
local CLOCK_FIELDS = { "tm_sec", "tm_min", "tm_hour", "tm_mday", "tm_mon", "tm_year", "tm_wday", "tm_yday", "tm_isdst" }

local f = {
    direction = ProtoField.string("fwupdate.direction", "Direction"),
    record = ProtoField.string("fwupdate.record", "Record"),
    command = ProtoField.string("fwupdate.command", "Command"),
    marker = ProtoField.uint32("fwupdate.marker", "Marker", base.HEX),
    opcode = ProtoField.uint8("fwupdate.opcode", "Opcode", base.HEX, OPCODES),
    opcode_name = ProtoField.string("fwupdate.opcode.name", "Opcode name"),
    subcode = ProtoField.uint8("fwupdate.subcode", "Subcode", base.HEX, SUBCODES),
    subcode_name = ProtoField.string("fwupdate.subcode.name", "Subcode name"),
    param = ProtoField.uint16("fwupdate.param", "Param", base.HEX),
    param_name = ProtoField.string("fwupdate.param.name", "Param name"),
    length = ProtoField.uint32("fwupdate.length", "Length", base.DEC),
    reserved = ProtoField.bytes("fwupdate.reserved", "Reserved"),
    reply_head = ProtoField.uint32("fwupdate.reply.head", "Not interpreted (bytes 0-3)", base.HEX),
    state = ProtoField.uint16("fwupdate.state", "State", base.DEC, STATES),
    state_name = ProtoField.string("fwupdate.state.name", "State name"),
    reply_rest = ProtoField.bytes("fwupdate.reply.rest", "Not interpreted (bytes 6-31)"),
    image_bytes = ProtoField.uint32("fwupdate.image.bytes", "Image bytes in this transfer", base.DEC),
    captured = ProtoField.uint32("fwupdate.captured", "Bytes captured (record cut off)", base.DEC),
    outcome = ProtoField.string("fwupdate.outcome", "Outcome"),
}
for _, name in ipairs(CLOCK_FIELDS) do
    f[name] = ProtoField.int32("fwupdate.clock." .. name, name, base.DEC)
end
local field_list = {}
for _, field in pairs(f) do table.insert(field_list, field) end
proto.fields = field_list
local cut_off = ProtoExpert.new("fwupdate.cut_off", "Record cut off by the capture's snap length",
    expert.group.UNDECODED, expert.severity.WARN)
proto.experts = { cut_off }

local endpoint_direction = Field.new("usb.endpoint_address.direction")
local endpoint_number = Field.new("usb.endpoint_address.number")
local data_length = Field.new("usb.data_len")
local usbd_status = Field.new("usb.usbd_status")
local transfer_type = Field.new("usb.transfer_type")
local irp_direction = Field.new("usb.irp_info.direction")
local request_in = Field.new("usb.request_in")

local USBD_STATUS_CANCELED = 0xC0010000
local URB_BULK = 3
local SCANNER_ENDPOINT = 1  -- bulk out 0x01 and bulk in 0x81

-- What each frame was found to be, by frame number, and the exchange
-- under way while the capture is first walked.
local found = {}
local unanswered = {}          -- the same for requests never answered
local phase = "command"        -- command, reply, clock_out, clock_in, image
local command = nil            -- opcode, subcode of the exchange under way
local reply_seen = 0

function proto.init()
    found = {}
    unanswered = {}
    phase = "command"
    command = nil
    reply_seen = 0
end

local function command_name(opcode, subcode, param)
    if opcode == 0x12 and subcode == 2 then return "device status" end
    if opcode == 0x12 and subcode == 8 then return "firmware status" end
    if opcode == 0x2A and subcode == 0x66 then return "clock set" end
    if opcode == 0x28 and subcode == 0x66 then return "clock read" end
    if opcode == 0x2A and subcode == 8 then return "firmware download" end
    return "unknown command"
end

local function param_name(opcode, subcode, param)
    if subcode == 0x66 and param == 1 then return "CLOCK_PARAM_SET" end
    if subcode == 0x66 and param == 2 then return "CLOCK_PARAM_GET" end
    if opcode == 0x2A and subcode == 8 and param == 0x1005 then return "DOWNLOAD_PARAM_NORMAL" end
    if opcode == 0x2A and subcode == 8 and param == 4 then return "DOWNLOAD_PARAM_RECOVERY" end
    if param == 0 then return "none" end
    return "unknown"
end

-- The bytes the packet reports for its payload, kept or not.
local function reported_size(tvb)
    local length = data_length()
    return length and length.value or tvb:reported_len()
end

-- The bytes at offset, if the capture kept them all.
local function kept(tvb, offset, size)
    if offset + size > tvb:len() then return nil end
    return tvb(offset, size)
end

-- Decides what a payload is from the exchange so far (first pass only).
-- A command block needs its marker kept to be known, and its opcode and
-- subcode for what follows it.
local function classify(tvb, outward)
    local size = reported_size(tvb)
    local marker = kept(tvb, 0, 4)
    if outward and size == 16 and marker and marker:le_uint() == 0x220 then
        local opcode, subcode = kept(tvb, 4, 1), kept(tvb, 6, 1)
        command = opcode and subcode and { opcode = opcode:uint(), subcode = subcode:uint() }
        phase = "reply"
        reply_seen = 0
        return "command block"
    end
    if not outward and phase == "reply" then
        reply_seen = reply_seen + size
        if reply_seen >= 32 then
            if command and command.opcode == 0x2A and command.subcode == 0x66 then phase = "clock_out"
            elseif command and command.opcode == 0x28 and command.subcode == 0x66 then phase = "clock_in"
            elseif command and command.opcode == 0x2A and command.subcode == 8 then phase = "image"
            else phase = "command" end
        end
        return size == 32 and "status reply" or "status reply (part)"
    end
    if (outward and phase == "clock_out") or (not outward and phase == "clock_in") then
        phase = "command"
        return size == 36 and "clock record" or "clock record (part)"
    end
    if outward and phase == "image" then
        return "image data"
    end
    return "unknown"
end

-- Adds a field from bytes the capture kept (little-endian where asked) and
-- returns them; a field whose bytes were cut off is left out (nil).
local function add_kept(t, field, tvb, offset, size, little_endian)
    local range = kept(tvb, offset, size)
    if range == nil then return nil end
    if little_endian then t:add_le(field, range) else t:add(field, range) end
    return range
end

-- Each record's fields; each returns the record's text for the Info column.
local function show_command(t, tvb)
    local opcode_range, subcode_range = kept(tvb, 4, 1), kept(tvb, 6, 1)
    local param_range, length_range = kept(tvb, 8, 2), kept(tvb, 12, 4)
    local opcode = opcode_range and opcode_range:uint()
    local subcode = subcode_range and subcode_range:uint()
    local param = param_range and param_name(opcode, subcode, param_range:le_uint())
    local name = opcode and subcode and command_name(opcode, subcode)
    if name then t:add(f.command, name) end
    add_kept(t, f.marker, tvb, 0, 4, true)
    if add_kept(t, f.opcode, tvb, 4, 1) then t:add(f.opcode_name, OPCODES[opcode] or "unknown") end
    add_kept(t, f.reserved, tvb, 5, 1)
    if add_kept(t, f.subcode, tvb, 6, 1) then t:add(f.subcode_name, SUBCODES[subcode] or "unknown") end
    add_kept(t, f.reserved, tvb, 7, 1)
    if add_kept(t, f.param, tvb, 8, 2, true) then t:add(f.param_name, param) end
    add_kept(t, f.reserved, tvb, 10, 2)
    add_kept(t, f.length, tvb, 12, 4, true)
    return "command: " .. (name or "?") .. " (" .. (OPCODES[opcode] or "?") .. ", " .. (SUBCODES[subcode] or "?") ..
        ", param " .. (param or "?") .. ", length " .. (length_range and length_range:le_uint() or "?") .. ")"
end

local function show_reply(t, tvb)
    add_kept(t, f.reply_head, tvb, 0, 4, true)
    local state_range = add_kept(t, f.state, tvb, 4, 2, true)
    local state = state_range and state_range:le_uint()
    if state then t:add(f.state_name, STATES[state] or "busy") end
    add_kept(t, f.reply_rest, tvb, 6, 26)
    if state == nil then return "status reply: state not captured" end
    return "status reply: " .. (STATES[state] or ("busy (" .. state .. ")"))
end

local function show_clock(t, tvb)
    local values = {}
    for i, name in ipairs(CLOCK_FIELDS) do
        local range = add_kept(t, f[name], tvb, (i - 1) * 4, 4, true)
        values[i] = range and range:le_int()
    end
    -- The fields are kept from the first on, so with the year all six are.
    if values[6] == nil then return "clock record: time not captured" end
    return string.format("clock record: %d-%02d-%02d %02d:%02d:%02d (tm_mon as sent)", values[6] + 1900,
        values[5], values[4], values[3], values[2], values[1])
end

local function show_image(t, tvb)
    local size = reported_size(tvb)
    t:add(f.image_bytes, size)
    return "image data, " .. size .. " bytes"
end

local SHOW = {
    ["command block"] = show_command,
    ["status reply"] = show_reply,
    ["clock record"] = show_clock,
    ["image data"] = show_image,
}

-- Says so where the capture kept fewer of a record's bytes than its packet
-- reports. Not for the image write: none of its bytes is decoded, and our
-- own traces keep only its first 1024 as a matter of course.
local function mark_cut_off(t, tvb, record)
    local captured, size = tvb:len(), reported_size(tvb)
    if record == "image data" or captured >= size then return "" end
    local text = string.format("%d of %d bytes captured", captured, size)
    t:add(f.captured, captured):add_proto_expert_info(cut_off, "Record cut off: " .. text)
    return " [cut off: " .. text .. "]"
end

local function dissect(tvb, pinfo, tree)
    local dir = endpoint_direction()
    if dir == nil then return false end
    local outward = dir.value == 0
    local record = found[pinfo.number]
    if record == nil then
        if pinfo.visited then return false end
        record = classify(tvb, outward)
        found[pinfo.number] = record
    end
    if record == "unknown" then return false end

    pinfo.cols.protocol = "FWUPDATE"
    local t = tree:add(proto, tvb(), "Orvane scanner: " .. record)
    t:add(f.direction, outward and "host to scanner" or "scanner to host")
    t:add(f.record, record)
    local show = SHOW[record]
    local info = show and show(t, tvb) or record
    pinfo.cols.info:append(" | " .. info .. mark_cut_off(t, tvb, record))
    return true
end

-- The record a request never answered was to carry: for a write, what its
-- submission was found to be; for a read, what the exchange awaited. The
-- exchange goes on as if it had not been made: the updater asks again.
local function awaited(outward)
    if outward then
        local submission = request_in()
        return submission and found[submission.value] or "unknown"
    end
    if phase == "reply" then return "status reply" end
    if phase == "clock_in" then return "clock record" end
    return "unknown"
end

-- True for the completion of a bulk request on the scanner's pipes that
-- the driver cancelled.
local function cancelled_completion()
    local status, kind, number, irp = usbd_status(), transfer_type(), endpoint_number(), irp_direction()
    return status and kind and number and irp and status.value == USBD_STATUS_CANCELED and kind.value == URB_BULK and
        number.value == SCANNER_ENDPOINT and irp.value == 1
end

function proto.dissector(tvb, pinfo, tree)
    if not cancelled_completion() then return end
    local outward = endpoint_direction().value == 0
    local record = unanswered[pinfo.number]
    if record == nil then
        if pinfo.visited then return end
        record = awaited(outward)
        unanswered[pinfo.number] = record
    end
    pinfo.cols.protocol = "FWUPDATE"
    local t = tree:add(proto, tvb(), "Orvane scanner: " .. record .. " never answered")
    t:add(f.direction, outward and "host to scanner" or "scanner to host")
    t:add(f.record, record)
    t:add(f.outcome, "cancelled (time-out)")
    pinfo.cols.info:append(" | " .. record .. ": cancelled (time-out), never answered")
end

proto:register_heuristic("usb.bulk", dissect)
register_postdissector(proto)
