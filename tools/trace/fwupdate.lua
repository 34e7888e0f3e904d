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
}
for _, name in ipairs(CLOCK_FIELDS) do
    f[name] = ProtoField.int32("fwupdate.clock." .. name, name, base.DEC)
end
local field_list = {}
for _, field in pairs(f) do table.insert(field_list, field) end
proto.fields = field_list

local endpoint_direction = Field.new("usb.endpoint_address.direction")
local data_length = Field.new("usb.data_len")

-- What each frame was found to be, by frame number, and the exchange
-- under way while the capture is first walked.
local found = {}
local phase = "command"        -- command, reply, clock_out, clock_in, image
local command = nil            -- opcode, subcode of the exchange under way
local reply_seen = 0

function proto.init()
    found = {}
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

-- Decides what a payload is from the exchange so far (first pass only).
local function classify(tvb, outward)
    local size = tvb:len()
    if outward and size == 16 and tvb(0, 4):le_uint() == 0x220 then
        local opcode, subcode = tvb(4, 1):uint(), tvb(6, 1):uint()
        command = { opcode = opcode, subcode = subcode }
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
    local info = record
    if record == "command block" then
        local opcode, subcode, param = tvb(4, 1):uint(), tvb(6, 1):uint(), tvb(8, 2):le_uint()
        local name = command_name(opcode, subcode, param)
        t:add(f.command, name)
        t:add_le(f.marker, tvb(0, 4))
        t:add(f.opcode, tvb(4, 1))
        t:add(f.opcode_name, OPCODES[opcode] or "unknown")
        t:add(f.reserved, tvb(5, 1))
        t:add(f.subcode, tvb(6, 1))
        t:add(f.subcode_name, SUBCODES[subcode] or "unknown")
        t:add(f.reserved, tvb(7, 1))
        t:add_le(f.param, tvb(8, 2))
        t:add(f.param_name, param_name(opcode, subcode, param))
        t:add(f.reserved, tvb(10, 2))
        t:add_le(f.length, tvb(12, 4))
        info = "command: " .. name .. " (" .. (OPCODES[opcode] or "?") .. ", " .. (SUBCODES[subcode] or "?") ..
            ", param " .. param_name(opcode, subcode, param) .. ", length " .. tvb(12, 4):le_uint() .. ")"
    elseif record == "status reply" then
        local state = tvb(4, 2):le_uint()
        t:add_le(f.reply_head, tvb(0, 4))
        t:add_le(f.state, tvb(4, 2))
        t:add(f.state_name, STATES[state] or "busy")
        t:add(f.reply_rest, tvb(6, 26))
        info = "status reply: " .. (STATES[state] or ("busy (" .. state .. ")"))
    elseif record == "clock record" then
        local values = {}
        for i, name in ipairs(CLOCK_FIELDS) do
            t:add_le(f[name], tvb((i - 1) * 4, 4))
            values[i] = tvb((i - 1) * 4, 4):le_int()
        end
        info = string.format("clock record: %d-%02d-%02d %02d:%02d:%02d (tm_mon as sent)", values[6] + 1900,
            values[5], values[4], values[3], values[2], values[1])
    elseif record == "image data" then
        local length = data_length()
        t:add(f.image_bytes, length and length.value or tvb:len())
        info = "image data, " .. (length and length.value or tvb:len()) .. " bytes"
    end
    pinfo.cols.info:append(" | " .. info)
    return true
end

proto:register_heuristic("usb.bulk", dissect)
