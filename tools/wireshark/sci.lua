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
-- personal plugin folder (~/.local/lib/wireshark/plugins/).

local sci = Proto("sci", "SCI frame")

local status_names = {[0] = "Bad", [1] = "Good", [2] = "Unverified"}

local f = sci.fields
f.version = ProtoField.uint8("sci.version", "Version")
f.addr = ProtoField.uint8("sci.addr", "Address", base.HEX)
f.len = ProtoField.uint16("sci.len", "Payload length")
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
    item:add(f.len, tvb(3, 1), len)
    item:add(f.cmd, tvb(4, 2))
    if len > 0 then
        item:add(f.payload, tvb(6, len))
    end
    local checksum = item:add_le(f.checksum, tvb(6 + len, 2))
    item:add(f.checksum_status, tvb(6 + len, 2), good and 1 or 0)
    if not good then
        checksum:add_proto_expert_info(bad_checksum,
                                       string.format("Bad checksum: 0x%04X, should be 0x%04X",
                                                     sent, sum))
    end

    -- The Info column in the words of sci scan.
    pinfo.cols.info = string.format("v%d addr 0x%02X cmd 0x%04X len %d checksum %s", version,
                                    tvb(2, 1):uint(), tvb(4, 2):uint(), len,
                                    good and "ok" or "bad")
    return size
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, sci)
