// SPDX-License-Identifier: MIT
// Fuzzes cu_korvi_sci_pack with arbitrary records and destination sizes, and
// unpacks every frame it builds.
//
// Input: version, address, command, payload length and destination size (the
// last three high byte first), then the payload bytes, padded with zeros to
// the length.
#include "fuzz_support.h"

#include <algorithm>

using namespace fuzz;

namespace
{

constexpr size_t kHeader = 8;

uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// A version-2 frame reads back as the record it was built from.
void check_v2_round_trip(const sci_pack_t &sent, const uint8_t *frame, int16_t n)
{
    Receiver r;
    int16_t rc = cu_korvi_sci_unpack(sent.addr, sent.cmd, &r.rec, frame, static_cast<uint16_t>(n));

    require(rc == SCI_OK, "a packed version-2 frame unpacks");
    require(r.rec.version == 2 && r.rec.addr == sent.addr && r.rec.cmd == sent.cmd &&
                r.rec.len == sent.len,
            "to the same header fields");
    require(std::memcmp(r.payload.get(), sent.data, sent.len) == 0, "and the same payload");
    require(r.untouched_from(sent.len), "and nothing past it");
}

// A packed version-1 frame carries a zero byte before the command that the
// unpacker does not expect: it reads back with the command shifted by one
// byte and the command's low byte leading the payload.
void check_v1_read_back(const sci_pack_t &sent, const uint8_t *frame, int16_t n)
{
    Receiver r;
    uint16_t cmd = sent.cmd;
    uint16_t shifted = static_cast<uint16_t>(cmd >> 8);
    int16_t rc = cu_korvi_sci_unpack(sent.addr, shifted, &r.rec, frame, static_cast<uint16_t>(n));

    require(rc == SCI_OK, "a packed version-1 frame passes the unpacker's checks");
    require(r.rec.version == 1 && r.rec.addr == sent.addr && r.rec.cmd == shifted &&
                r.rec.len == sent.len + 1,
            "with the command shifted by a byte and one more payload byte");
    require(r.payload[0] == (cmd & 0xFF) &&
                std::memcmp(r.payload.get() + 1, sent.data, sent.len) == 0,
            "the command's low byte, then the payload");
    require(r.untouched_from(sent.len + 1u), "and nothing past it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t n)
{
    if (n < kHeader)
        return 0;
    uint16_t len = be16(in + 4);
    uint16_t size = be16(in + 6);
    const uint8_t *fill = in + kHeader;
    size_t fill_len = n - kHeader;

    // Payload and destination are exactly as long as the record says.
    Buffer data(new uint8_t[len]);
    std::memset(data.get(), 0, len);
    std::memcpy(data.get(), fill, std::min<size_t>(len, fill_len));
    Buffer payload_before = exact_copy(data.get(), len);
    Buffer out(new uint8_t[size]);
    std::memset(out.get(), kSentinel, size);
    sci_pack_t rec = {in[0], in[1], be16(in + 2), len, data.get()};
    sci_pack_t rec_before = rec;

    int16_t rc = cu_korvi_sci_pack(&rec, out.get(), size);

    size_t overhead = rec.version == 1 ? 9 : 8;
    size_t longest = rec.version == 1 ? SCI_V1_MAX_PAYLOAD : SCI_V2_MAX_PAYLOAD;
    bool fits = (rec.version == 1 || rec.version == 2) && len <= longest && len + overhead <= size;
    require(rc == (fits ? static_cast<int16_t>(len + overhead) : SCI_ERR_ARG),
            "frame length when the record fits the version and the destination, else -1");
    require(std::memcmp(&rec, &rec_before, sizeof rec) == 0, "the record is only read");
    require(len == 0 || std::memcmp(data.get(), payload_before.get(), len) == 0,
            "the payload is only read");
    size_t written = rc > 0 ? static_cast<size_t>(rc) : 0;
    require(all_sentinel(out.get(), written, size),
            "nothing written past the frame, or on failure");
    if (rc <= 0)
        return 0;

    Buffer frame = exact_copy(out.get(), written);
    require(frame[0] == 0x55 && frame[1] == (rec.version == 1 ? 0xAA : 0xBB),
            "sync header names the version");
    if (rec.version == 2)
        check_v2_round_trip(rec, frame.get(), rc);
    else
        check_v1_read_back(rec, frame.get(), rc);
    return 0;
}
