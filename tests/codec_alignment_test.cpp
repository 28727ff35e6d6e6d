// SPDX-License-Identifier: MIT
// The codec with its record, frame and payload each at any address. The
// record is packed, so its pointer is unaligned even when the record is not;
// here each of the three sits 0 to 3 bytes past an 8-byte boundary. On ARMv7
// a load of a word pair or of several words from an unaligned address faults
// (and qemu-arm faults the same way), so code that read the record or a buffer
// a word at a time would crash or go wrong here.
#include "frame_reference.h"
#include "sci_codec.h"
#include "table_names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace
{

constexpr uint8_t kFill = 0xEE;
constexpr uint8_t kAddr = 0xA5;
constexpr uint16_t kCmd = 0x8123;
constexpr size_t kFrameRoom = SCI_V2_MAX_PAYLOAD + 8;

// Bytes starting at an 8-byte boundary, filled with kFill, so that an offset
// into them is that far from alignment.
struct Area {
    alignas(8) uint8_t bytes[kFrameRoom + 16];

    Area()
    {
        std::memset(bytes, kFill, sizeof bytes);
    }

    // Whether every byte outside [from, from + n) still holds kFill.
    bool untouched_outside(size_t from, size_t n) const
    {
        for (size_t i = 0; i < sizeof bytes; i++)
            if ((i < from || i >= from + n) && bytes[i] != kFill)
                return false;
        return true;
    }
};

// A record's fields as text, read by value: a reference to a field of a
// packed record may be misaligned.
std::string fields(unsigned version, unsigned addr, unsigned cmd, unsigned len, const void *data)
{
    char text[96];
    (void)std::snprintf(text, sizeof text, "version %u addr 0x%02X cmd 0x%04X len %u data %p",
                        version, addr, cmd, len, data);
    return text;
}

std::string fields(const sci_pack_t *r)
{
    return fields(r->version, r->addr, r->cmd, r->len, r->data);
}

struct Placement {
    const char *what;
    size_t record; // bytes past an 8-byte boundary
    size_t frame;
    size_t payload;
};

void PrintTo(const Placement &p, std::ostream *os)
{
    *os << p.what;
}

class AnyAddress : public ::testing::TestWithParam<Placement>
{
};

// Packs a record at the placement's addresses, then unpacks the frame, where
// it lies, into a record and payload buffer at those addresses: the bytes are
// the frame's, the fields and payload come back, nothing around them changes.
// A version-1 frame as packed reads back with the command one byte on (its
// zero byte first) and the command's low byte leading the payload. Then the
// same with the checksum broken: the header fields are still written.
TEST_P(AnyAddress, PackAndUnpack)
{
    const Placement &p = GetParam();
    const uint16_t lengths[] = {0, 1, 3, 4, 7, 8, 15, 16, 17, 33, 64, 252, 255};

    for (uint8_t version : {uint8_t{1}, uint8_t{2}})
        for (uint16_t len : lengths) {
            if (version == 1 && len > SCI_V1_MAX_PAYLOAD)
                continue;
            SCOPED_TRACE("version " + std::to_string(version) + ", " + std::to_string(len) +
                         " payload bytes");
            uint8_t sent[SCI_V2_MAX_PAYLOAD];
            for (unsigned i = 0; i < len; i++)
                sent[i] = static_cast<uint8_t>(0x80 + i * 37);
            std::vector<uint8_t> want = reference_frame(version, kAddr, kCmd, sent, len);
            size_t want_n = want.size();

            Area record, frame, payload;
            uint8_t *data = payload.bytes + p.payload;
            std::memcpy(data, sent, len);
            sci_pack_t *out =
                new (record.bytes + p.record) sci_pack_t{version, kAddr, kCmd, len, data};
            uint8_t *buf = frame.bytes + p.frame;
            int16_t n = cu_korvi_sci_pack(out, buf, kFrameRoom);
            ASSERT_EQ(n, static_cast<int16_t>(want_n));
            EXPECT_EQ(std::memcmp(buf, want.data(), want_n), 0);
            EXPECT_TRUE(frame.untouched_outside(p.frame, want_n));
            EXPECT_EQ(fields(out), fields(version, kAddr, kCmd, len, data))
                << "the packer changed its record";

            uint16_t want_cmd = version == 1 ? kCmd >> 8 : kCmd;
            uint16_t want_len = static_cast<uint16_t>(version == 1 ? len + 1 : len);
            uint8_t want_payload[SCI_V2_MAX_PAYLOAD + 1];
            size_t lead = version == 1 ? 1 : 0;
            want_payload[0] = kCmd & 0xFF;
            std::memcpy(want_payload + lead, sent, len);

            for (bool broken : {false, true}) {
                SCOPED_TRACE(broken ? "checksum broken" : "frame intact");
                if (broken)
                    buf[want_n - 1] ^= 0x40;
                Area in_record, in_payload;
                uint8_t *room = in_payload.bytes + p.payload;
                sci_pack_t *in = new (in_record.bytes + p.record) sci_pack_t{0, 0, 0, 0, room};
                int16_t rc =
                    cu_korvi_sci_unpack(kAddr, want_cmd, in, buf, static_cast<uint16_t>(n));
                ASSERT_EQ(rc, broken ? SCI_ERR_CHECKSUM : SCI_OK);
                EXPECT_EQ(fields(in), fields(version, kAddr, want_cmd, want_len, room));
                EXPECT_TRUE(in_record.untouched_outside(p.record, sizeof(sci_pack_t)));
                if (broken) {
                    EXPECT_TRUE(in_payload.untouched_outside(0, 0));
                } else {
                    EXPECT_EQ(std::memcmp(room, want_payload, want_len), 0);
                    EXPECT_TRUE(in_payload.untouched_outside(p.payload, want_len));
                }
            }
        }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Placements, AnyAddress, ::testing::Values(
        Placement{"all aligned", 0, 0, 0},
        Placement{"record at 1", 1, 0, 0},
        Placement{"record at 2", 2, 0, 0},
        Placement{"record at 3", 3, 0, 0},
        Placement{"frame at 1", 0, 1, 0},
        Placement{"frame at 3", 0, 3, 0},
        Placement{"payload at 1", 0, 0, 1},
        Placement{"payload at 2", 0, 0, 2},
        Placement{"all at 1", 1, 1, 1},
        Placement{"all at 3", 3, 3, 3},
        Placement{"at 1 2 3", 1, 2, 3},
        Placement{"at 3 1 2", 3, 1, 2}),
    ByWhat());
// clang-format on

} // namespace
