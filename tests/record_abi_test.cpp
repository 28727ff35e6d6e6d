// SPDX-License-Identifier: MIT
// The message record as callers on the device (32-bit ARM, little-endian) lay
// it out: ten bytes, no padding, the pointer at offset 6. Built for 32-bit
// targets only. The compiler's view is checked here at build time; the
// library's, at run time, by handing it records written byte by byte, as a
// caller built by another compiler would, and reading back what it writes.
#include "sci_codec.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

static_assert(sizeof(void *) == 4, "the device's record has a 32-bit pointer");
static_assert(sizeof(sci_pack_t) == 10, "ten bytes, packed");
static_assert(alignof(sci_pack_t) == 1, "packed: any address holds a record");
static_assert(offsetof(sci_pack_t, version) == 0, "version at 0");
static_assert(offsetof(sci_pack_t, addr) == 1, "addr at 1");
static_assert(offsetof(sci_pack_t, cmd) == 2, "cmd at 2");
static_assert(offsetof(sci_pack_t, len) == 4, "len at 4");
static_assert(offsetof(sci_pack_t, data) == 6, "data at 6");

namespace
{

struct Image {
    uint8_t bytes[sizeof(sci_pack_t)];
};

// The record's bytes: fields little-endian at offsets 0, 1, 2, 4 and 6.
Image image_of(uint8_t version, uint8_t addr, uint16_t cmd, uint16_t len, const uint8_t *data)
{
    uint32_t p = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
    return Image{{version, addr, static_cast<uint8_t>(cmd), static_cast<uint8_t>(cmd >> 8),
                  static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                  static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                  static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 24)}};
}

std::string hex(const Image &image)
{
    char text[4 * sizeof image.bytes] = "";
    for (size_t i = 0; i < sizeof image.bytes; i++)
        (void)std::snprintf(text + 3 * i, 4, "%02X ", image.bytes[i]);
    return text;
}

TEST(RecordAbi, LibraryReadsFieldsAtTheirOffsets)
{
    uint8_t payload[3] = {0xAB, 0xCD, 0xEF};
    Image image = image_of(2, 0x5A, 0x1234, 3, payload);
    sci_pack_t rec;
    std::memcpy(&rec, image.bytes, sizeof rec);
    uint8_t frame[16];

    ASSERT_EQ(cu_korvi_sci_pack(&rec, frame, sizeof frame), 11);
    const uint8_t want[] = {0x55, 0xBB, 0x5A, 0x03, 0x12, 0x34, 0xAB, 0xCD, 0xEF, 0x0A, 0x03};
    EXPECT_EQ(std::memcmp(frame, want, sizeof want), 0);
}

TEST(RecordAbi, LibraryWritesFieldsAtTheirOffsets)
{
    const uint8_t frame[] = {0x55, 0xAA, 0x5A, 0x05, 0x12, 0x34, 0xAB, 0xCD, 0xEF, 0x0C, 0x03};
    uint8_t room[255];
    sci_pack_t rec;
    Image before = image_of(0xEE, 0xEE, 0xEEEE, 0xEEEE, room);
    std::memcpy(&rec, before.bytes, sizeof rec);

    ASSERT_EQ(cu_korvi_sci_unpack(0x5A, 0x1234, &rec, frame, sizeof frame), SCI_OK);
    Image after;
    std::memcpy(after.bytes, &rec, sizeof rec);
    Image want = image_of(1, 0x5A, 0x1234, 3, room);
    EXPECT_EQ(std::memcmp(after.bytes, want.bytes, sizeof want.bytes), 0)
        << "record " << hex(after) << "\nwanted " << hex(want);
}

} // namespace
