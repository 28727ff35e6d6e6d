// SPDX-License-Identifier: MIT
// Fuzzes cu_korvi_sci_unpack with arbitrary received bytes against an
// arbitrary expected address and command.
//
// Input: expected address, expected command (high byte first), then the
// received bytes, whose count is the `size` passed (up to 65535).
#include "fuzz_support.h"

using namespace fuzz;

namespace
{

int sync_version(const uint8_t *buf, size_t size)
{
    if (size < 2 || buf[0] != 0x55)
        return 0;
    return buf[1] == 0xAA ? 1 : buf[1] == 0xBB ? 2 : 0;
}

// The received bytes hold the whole frame their length byte announces.
bool whole_frame(int version, const uint8_t *buf, size_t size)
{
    if (version == 0 || size < 8)
        return false;
    if (version == 1)
        return buf[3] >= 2 && buf[3] + 6u <= size;
    return buf[3] + 8u <= size;
}

// An accepted frame: the record describes the frame, the payload is the
// frame's and the checksum holds; a version-2 frame packs back to its bytes.
void check_accepted(uint8_t addr, uint16_t cmd, const Receiver &r, const uint8_t *buf, size_t size)
{
    size_t len = r.rec.len;
    size_t frame_len = len + 8;

    require(r.rec.version == sync_version(buf, size), "version follows the sync header");
    require(r.rec.addr == addr, "accepted address is the expected one");
    require(r.rec.cmd == cmd || r.rec.cmd == 0xFFFF, "accepted command matches or is FFFF");
    require(len <= (r.rec.version == 1 ? 253u : 255u), "payload fits what the length byte carries");
    require(frame_len <= size, "accepted frame lies within the received bytes");
    require(r.rec.cmd == ((buf[4] << 8) | buf[5]), "command read high byte first");
    require(std::memcmp(r.payload.get(), buf + 6, len) == 0, "payload copied from offset 6");
    require(r.untouched_from(len), "nothing written past the announced payload");
    uint16_t sum = reference_checksum(buf + 2, len + 4);
    require(buf[6 + len] == (sum & 0xFF) && buf[7 + len] == (sum >> 8),
            "accepted frame carries its checksum, low byte first");

    if (r.rec.version != 2)
        return;
    Buffer out(new uint8_t[frame_len]);
    int16_t n = cu_korvi_sci_pack(&r.rec, out.get(), static_cast<uint16_t>(frame_len));
    require(n == static_cast<int16_t>(frame_len), "accepted version-2 frame packs again");
    require(std::memcmp(out.get(), buf, frame_len) == 0, "and packs back to the same bytes");
}

// A refused frame: nothing reaches the payload buffer, and the header fields
// are set exactly as far as the checks got.
void check_refused(int16_t rc, const Receiver &r, const uint8_t *buf, size_t size)
{
    int version = sync_version(buf, size);

    require(r.untouched_from(0), "a refused frame copies no payload");
    require((rc == SCI_ERR_SYNC) == (size >= 2 && version == 0),
            "bad sync exactly for a header that is neither 55 AA nor 55 BB");
    require(r.rec.version == (version != 0 ? version : kSentinel),
            "version set exactly when the sync header was recognised");
    if (rc == SCI_ERR_ARG)
        require(version == 0 || !whole_frame(version, buf, size),
                "a recognised header is refused as too short only when the frame is incomplete");
    if (rc == SCI_ERR_ARG || rc == SCI_ERR_SYNC) {
        require(r.rec.addr == kSentinel && r.rec.cmd == 0xEEEE && r.rec.len == 0xEEEE,
                "length or sync failure leaves address, command and length alone");
        return;
    }
    require(whole_frame(version, buf, size),
            "address, command and checksum are checked only on a whole frame");
    size_t len = version == 1 ? buf[3] - 2u : buf[3];
    require(r.rec.addr == buf[2] && r.rec.len == len && r.rec.cmd == ((buf[4] << 8) | buf[5]),
            "address, command or checksum failure fills the header fields");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t n)
{
    if (n < 3 || n - 3 > 0xFFFF)
        return 0;
    uint8_t addr = in[0];
    uint16_t cmd = static_cast<uint16_t>((in[1] << 8) | in[2]);
    size_t size = n - 3;
    Buffer buf = exact_copy(in + 3, size);
    Receiver r;

    int16_t rc = cu_korvi_sci_unpack(addr, cmd, &r.rec, buf.get(), static_cast<uint16_t>(size));

    require(rc <= SCI_OK && rc >= SCI_ERR_CHECKSUM, "result is 0 to -5");
    require(r.rec.data == r.payload.get(), "the payload pointer is left alone");
    require(std::memcmp(buf.get(), in + 3, size) == 0, "received bytes are only read");
    if (rc == SCI_OK)
        check_accepted(addr, cmd, r, buf.get(), size);
    else
        check_refused(rc, r, buf.get(), size);
    return 0;
}
