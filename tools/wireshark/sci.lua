-- SPDX-License-Identifier: MIT
-- Wireshark dissector for SCI frames, one frame per record, in capture files
-- of link type USER0 (147) as `sci scan --pcap` and `sci monitor --pcap`
-- write them.
--
-- Version 1 frames (55 AA) are read as the codec's unpacker reads them: the
-- command follows the length byte, which counts it. Version 2 frames (55 BB)
-- read the same both ways. The checksum is the 16-bit sum of every byte from
-- the address to the end of the payload, sent low byte first.
--
-- Use: tshark -X lua_script:sci.lua -r CAPTURE, or copy this file into the
-- personal plugin folder (~/.local/lib/wireshark/plugins/). Loaded twice (a
-- plugin folder and -X lua_script:), the first copy is the one used and the
-- second does nothing.
--
-- The preference sci.user0 (on by default) takes USER0; turned off, USER0
-- goes back to the DLT_USER table, where users map USER0 to a dissector.

local ok, sci = pcall(Proto, "sci", "SCI frame")
if not ok then
    if tostring(sci):find("two protocols", 1, true) then
        return
    end
    error(sci)
end

-- A payload longer than this is cut in the Info column.
local INFO_BYTES = 16

local status_names = {[0] = "Bad", [1] = "Good", [2] = "Unverified"}

local f = sci.fields
f.version = ProtoField.uint8("sci.version", "Version")
f.addr = ProtoField.uint8("sci.addr", "Address", base.HEX)
f.len = ProtoField.uint16("sci.len", "Payload length")
f.len_byte = ProtoField.uint8("sci.len.byte", "Length byte")
f.cmd = ProtoField.uint16("sci.cmd", "Command", base.HEX)
f.payload = ProtoField.bytes("sci.payload", "Payload", base.SPACE)
f.checksum = ProtoField.uint16("sci.checksum", "Checksum", base.HEX)
f.checksum_status = ProtoField.uint8("sci.checksum.status", "Checksum status", base.DEC,
                                     status_names)

local bad_checksum = ProtoExpert.new("sci.checksum.bad", "Bad checksum", expert.group.CHECKSUM,
                                     expert.severity.ERROR)
local malformed = ProtoExpert.new("sci.malformed", "Not a whole SCI frame",
                                  expert.group.MALFORMED, expert.severity.ERROR)
sci.experts = {bad_checksum, malformed}

sci.prefs.user0 = Pref.bool("Dissect link type USER0 (147)", true,
                            "Off: USER0 goes back to the DLT_USER table (user_dlts)")

-- Without a DLT_USER table, USER0 goes back to what had it before.
local wtap_encap = DissectorTable.get("wtap_encap")
local has_user_dlt, user_dlt = pcall(Dissector.get, "user_dlt")
local user0_before = has_user_dlt and user_dlt or wtap_encap:get_dissector(wtap.USER0)

local function take_user0()
    if sci.prefs.user0 then
        wtap_encap:add(wtap.USER0, sci)
    elseif user0_before then
        wtap_encap:add(wtap.USER0, user0_before)
    else
        wtap_encap:remove(wtap.USER0, sci)
    end
end

-- The payload as sci scan prints it, cut after INFO_BYTES bytes.
local function payload_words(tvb, offset, len)
    local words = {}
    for i = 0, math.min(len, INFO_BYTES) - 1 do
        words[#words + 1] = string.format("%02X", tvb(offset + i, 1):uint())
    end
    if len > INFO_BYTES then
        words[#words + 1] = "…"
    end
    return table.concat(words, " ")
end

function sci.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "SCI"
    local item = tree:add(sci, tvb())
    local size = tvb:len()
    local sync = size >= 2 and tvb(0, 2):uint() or 0
    if size < 8 or (sync ~= 0x55AA and sync ~= 0x55BB) then
        item:add_proto_expert_info(malformed)
        pinfo.cols.info = "not an SCI frame"
        return size
    end

    local version = sync == 0x55AA and 1 or 2
    local n = tvb(3, 1):uint()
    local len = version == 1 and n - 2 or n
    if len < 0 or len + 8 ~= size then
        item:add_proto_expert_info(malformed)
        pinfo.cols.info = string.format("v%d, length byte %d for %d bytes", version, n, size)
        return size
    end

    local sum = 0
    for i = 2, 5 + len do
        sum = sum + tvb(i, 1):uint()
    end
    sum = sum % 65536
    local sent = tvb(6 + len, 2):le_uint()
    local good = sum == sent

    item:add(f.version, tvb(1, 1), version)
    item:add(f.addr, tvb(2, 1))
    if version == 1 then
        item:add(f.len, tvb(3, 1), len):set_generated()
        item:add(f.len_byte, tvb(3, 1))
    else
        item:add(f.len, tvb(3, 1), len)
    end
    item:add(f.cmd, tvb(4, 2))
    if len > 0 then
        item:add(f.payload, tvb(6, len))
    end
    local checksum = item:add_le(f.checksum, tvb(6 + len, 2))
    item:add(f.checksum_status, tvb(6 + len, 2), good and 1 or 0):set_generated()
    if not good then
        checksum:add_proto_expert_info(bad_checksum,
                                       string.format("Bad checksum: 0x%04X, should be 0x%04X",
                                                     sent, sum))
    end

    -- The Info column in the words of sci scan.
    local info = string.format("v%d addr 0x%02X cmd 0x%04X len %d checksum %s", version,
                               tvb(2, 1):uint(), tvb(4, 2):uint(), len, good and "ok" or "bad")
    if len > 0 then
        info = info .. " " .. payload_words(tvb, 6, len)
    end
    pinfo.cols.info = info
    return size
end

sci.prefs_changed = take_user0
take_user0()
