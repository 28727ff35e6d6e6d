// SPDX-License-Identifier: MIT
// Frame codec: worked frames, every result code with the state it leaves,
// boundary sizes, and randomised round trips.
#include "frame_reference.h"
#include "sci_codec.h"
#include "table_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSentinel = 0xEE;
constexpr size_t kGuard = 16;
constexpr size_t kPayloadRoom = 255;

Bytes concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        if (i)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hex(const Bytes &b)
{
    return hex(b.data(), b.size());
}

// A payload pointer that is never null, even for an empty payload.
uint8_t *data_of(Bytes &b)
{
    static uint8_t none;
    return b.empty() ? &none : b.data();
}

// A record whose header fields hold sentinels and whose payload buffer is
// filled with sentinels, with guard bytes past the 255 the codec may use.
struct Receiver {
    sci_pack_t rec;
    uint8_t payload[kPayloadRoom + kGuard];

    Receiver()
    {
        std::memset(payload, kSentinel, sizeof payload);
        rec.version = kSentinel;
        rec.addr = kSentinel;
        rec.cmd = 0xEEEE;
        rec.len = 0xEEEE;
        rec.data = payload;
    }
    bool payload_untouched(size_t from = 0) const
    {
        for (size_t i = from; i < sizeof payload; i++)
            if (payload[i] != kSentinel)
                return false;
        return true;
    }
};

const Bytes kPayloadABCD = {0xAB, 0xCD};
const Bytes kV2Example = {0x55, 0xBB, 0x01, 0x02, 0x12, 0x34, 0xAB, 0xCD, 0xC1, 0x01};
const Bytes kV1PackedExample = {0x55, 0xAA, 0x01, 0x05, 0x00, 0x12, 0x34, 0xAB, 0xCD, 0xC4, 0x01};
const Bytes kV1InExample = {0x55, 0xAA, 0x01, 0x04, 0x12, 0x34, 0xAB, 0xCD, 0xC3, 0x01};

// ---------------------------------------------------------------- packing

struct PackCase {
    const char *what;
    uint8_t version;
    uint8_t addr;
    uint16_t cmd;
    Bytes payload;
    Bytes frame; // expected bytes
};

void PrintTo(const PackCase &row, std::ostream *os)
{
    *os << row.what;
}

class PackExamples : public ::testing::TestWithParam<PackCase>
{
};

TEST_P(PackExamples, BuildsExactBytesAndTouchesNothingElse)
{
    const PackCase &c = GetParam();
    Bytes payload = c.payload;
    sci_pack_t rec = {c.version, c.addr, c.cmd, static_cast<uint16_t>(payload.size()),
                      data_of(payload)};
    Bytes out(c.frame.size() + kGuard, kSentinel);

    int16_t n = cu_korvi_sci_pack(&rec, out.data(), static_cast<uint16_t>(c.frame.size()));

    ASSERT_EQ(n, static_cast<int16_t>(c.frame.size()));
    EXPECT_EQ(hex(out.data(), c.frame.size()), hex(c.frame));
    EXPECT_EQ(Bytes(out.begin() + n, out.end()), Bytes(kGuard, kSentinel));
    EXPECT_EQ(payload, c.payload) << "packing must only read the payload";
}

Bytes filled(size_t n, uint8_t v)
{
    return Bytes(n, v);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Frames, PackExamples, ::testing::Values(
        PackCase{"v2 worked example", 2, 0x01, 0x1234, kPayloadABCD, kV2Example},
        PackCase{"v1 worked example", 1, 0x01, 0x1234, kPayloadABCD, kV1PackedExample},
        PackCase{"v2 empty payload", 2, 0x80, 0xBEEF, {}, with_checksum({0x55, 0xBB, 0x80, 0x00, 0xBE, 0xEF})},
        PackCase{"v1 empty payload", 1, 0x80, 0xBEEF, {}, with_checksum({0x55, 0xAA, 0x80, 0x03, 0x00, 0xBE, 0xEF})}, // 0xFF + 0xFF + 0xFF + 0xFF + 255 * 0xFF = 66045: the sum wraps to 0x01FD.
        PackCase{"v2 checksum wraps", 2, 0xFF, 0xFFFF, filled(255, 0xFF), concat(concat({0x55, 0xBB, 0xFF, 0xFF, 0xFF, 0xFF}, filled(255, 0xFF)), {0xFD, 0x01})},
        PackCase{"v1 longest payload", 1, 0x7F, 0x8001, filled(252, 0x81), with_checksum(concat({0x55, 0xAA, 0x7F, 0xFF, 0x00, 0x80, 0x01}, filled(252, 0x81)))}),
    ByWhat());
// clang-format on

struct PackLimitCase {
    const char *what;
    uint8_t version;
    uint16_t len;
    uint16_t size;
    int16_t result;
};

void PrintTo(const PackLimitCase &row, std::ostream *os)
{
    *os << row.what;
}

class PackLimits : public ::testing::TestWithParam<PackLimitCase>
{
};

TEST_P(PackLimits, ResultAndNothingWrittenOnFailure)
{
    const PackLimitCase &c = GetParam();
    Bytes payload(c.len, 0x5A);
    sci_pack_t rec = {c.version, 0x01, 0x1234, c.len, data_of(payload)};
    Bytes out(size_t(c.size) + kGuard, kSentinel);

    int16_t n = cu_korvi_sci_pack(&rec, out.data(), c.size);

    EXPECT_EQ(n, c.result) << c.what;
    size_t written = n > 0 ? size_t(n) : 0;
    for (size_t i = written; i < out.size(); i++)
        ASSERT_EQ(out[i], kSentinel) << c.what << ": byte " << i << " written";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Sizes, PackLimits, ::testing::Values(
        PackLimitCase{"v1 empty, exact room", 1, 0, 9, 9},
        PackLimitCase{"v1 empty, one short", 1, 0, 8, -1},
        PackLimitCase{"v2 empty, exact room", 2, 0, 8, 8},
        PackLimitCase{"v2 empty, one short", 2, 0, 7, -1},
        PackLimitCase{"v1 16 bytes, exact room", 1, 16, 25, 25},
        PackLimitCase{"v1 16 bytes, one short", 1, 16, 24, -1},
        PackLimitCase{"v2 16 bytes, exact room", 2, 16, 24, 24},
        PackLimitCase{"v2 16 bytes, one short", 2, 16, 23, -1},
        PackLimitCase{"v2 longest payload", 2, 255, 263, 263},
        PackLimitCase{"v2 longest payload, one short", 2, 255, 262, -1},
        PackLimitCase{"v1 longest payload", 1, 252, 261, 261},
        PackLimitCase{"v1 payload over the length byte", 1, 253, 400, -1},
        PackLimitCase{"v2 payload over the length byte", 2, 256, 400, -1},
        PackLimitCase{"v2 payload of 65535 cannot wrap the size test", 2, 65535, 65535, -1},
        PackLimitCase{"v1 payload of 65535 cannot wrap the size test", 1, 65535, 65535, -1},
        PackLimitCase{"version 0", 0, 2, 64, -1},
        PackLimitCase{"version 3", 3, 2, 64, -1},
        PackLimitCase{"version 0xFF", 0xFF, 2, 64, -1},
        PackLimitCase{"zero room", 2, 0, 0, -1}),
    ByWhat());
// clang-format on

TEST(PackArguments, NullsAreRefused)
{
    uint8_t payload[2] = {0xAB, 0xCD};
    uint8_t out[32];
    sci_pack_t rec = {2, 0x01, 0x1234, 2, payload};
    sci_pack_t no_data = {2, 0x01, 0x1234, 0, nullptr};

    EXPECT_EQ(cu_korvi_sci_pack(nullptr, out, sizeof out), -1);
    EXPECT_EQ(cu_korvi_sci_pack(&rec, nullptr, sizeof out), -1);
    std::memset(out, kSentinel, sizeof out);
    EXPECT_EQ(cu_korvi_sci_pack(&no_data, out, sizeof out), -1)
        << "data must be set even when empty";
    EXPECT_EQ(hex(out, sizeof out), hex(filled(sizeof out, kSentinel)));
}

// -------------------------------------------------------------- unpacking

// What the record holds after a call, besides the payload buffer.
enum class After {
    Untouched,   // not a field written
    VersionOnly, // version set from the sync header, nothing else
    Header,      // version, addr, cmd and len set from the frame
};

struct UnpackCase {
    const char *what;
    Bytes input;
    uint8_t want_addr;
    uint16_t want_cmd;
    int16_t result;
    After after;
    // expected record when after != Untouched
    uint8_t version;
    uint8_t addr;
    uint16_t cmd;
    uint16_t len;
    Bytes payload; // expected payload when result == 0
};

void PrintTo(const UnpackCase &row, std::ostream *os)
{
    *os << row.what;
}

class Unpack : public ::testing::TestWithParam<UnpackCase>
{
};

TEST_P(Unpack, ResultAndRecordState)
{
    const UnpackCase &c = GetParam();
    Receiver r;
    // Keep the input in a buffer of its exact length so that a read past it
    // is caught by the sanitizer builds.
    std::vector<uint8_t> in(c.input);
    const uint8_t *buf = in.empty() ? reinterpret_cast<const uint8_t *>("") : in.data();

    int16_t rc =
        cu_korvi_sci_unpack(c.want_addr, c.want_cmd, &r.rec, buf, static_cast<uint16_t>(in.size()));

    ASSERT_EQ(rc, c.result) << c.what;
    switch (c.after) {
    case After::Untouched:
        EXPECT_EQ(r.rec.version, kSentinel);
        EXPECT_EQ(r.rec.addr, kSentinel);
        EXPECT_EQ(r.rec.cmd, 0xEEEE);
        EXPECT_EQ(r.rec.len, 0xEEEE);
        break;
    case After::VersionOnly:
        EXPECT_EQ(r.rec.version, c.version);
        EXPECT_EQ(r.rec.addr, kSentinel);
        EXPECT_EQ(r.rec.cmd, 0xEEEE);
        EXPECT_EQ(r.rec.len, 0xEEEE);
        break;
    case After::Header:
        EXPECT_EQ(r.rec.version, c.version);
        EXPECT_EQ(r.rec.addr, c.addr);
        EXPECT_EQ(r.rec.cmd, c.cmd);
        EXPECT_EQ(r.rec.len, c.len);
        break;
    }
    // By value: EXPECT_EQ binds references, and `data` is not aligned.
    const uint8_t *data = r.rec.data;
    EXPECT_EQ(data, r.payload) << "the payload pointer is the caller's";
    if (rc == 0) {
        EXPECT_EQ(hex(r.payload, c.payload.size()), hex(c.payload));
        EXPECT_TRUE(r.payload_untouched(c.payload.size())) << "written past the payload";
    } else {
        EXPECT_TRUE(r.payload_untouched()) << "payload written on failure";
    }
    EXPECT_EQ(in, c.input) << "input must only be read";
}

Bytes with(Bytes b, size_t at, uint8_t v)
{
    b.at(at) = v;
    return b;
}

Bytes first(const Bytes &b, size_t n)
{
    return Bytes(b.begin(), b.begin() + long(n));
}

const Bytes kV1Empty = with_checksum({0x55, 0xAA, 0x42, 0x02, 0x80, 0x01});
const Bytes kV2Wildcard = with_checksum({0x55, 0xBB, 0x01, 0x02, 0xFF, 0xFF, 0xAB, 0xCD});
const Bytes kV2Wrap =
    concat(concat({0x55, 0xBB, 0xFF, 0xFF, 0xFF, 0xFF}, filled(255, 0xFF)), {0xFD, 0x01});

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    WorkedFrames, Unpack, ::testing::Values(
        UnpackCase{"v2 worked example", kV2Example, 0x01, 0x1234, 0, After::Header, 2, 0x01, 0x1234, 2, kPayloadABCD},
        UnpackCase{"v1 worked example", kV1InExample, 0x01, 0x1234, 0, After::Header, 1, 0x01, 0x1234, 2, kPayloadABCD}, // The packer's version-1 frame reads back shifted by its zero byte.
        UnpackCase{"v1 packed frame reads back differently", kV1PackedExample, 0x01, 0x0012, 0, After::Header, 1, 0x01, 0x0012, 3, {0x34, 0xAB, 0xCD}},
        UnpackCase{"v2 checksum wraps", kV2Wrap, 0xFF, 0xFFFF, 0, After::Header, 2, 0xFF, 0xFFFF, 255, filled(255, 0xFF)},
        UnpackCase{"v1 length byte 2 is an empty payload", kV1Empty, 0x42, 0x8001, 0, After::Header, 1, 0x42, 0x8001, 0, {}},
        UnpackCase{"v2 empty payload", with_checksum({0x55, 0xBB, 0x42, 0x00, 0x80, 0x01}), 0x42, 0x8001, 0, After::Header, 2, 0x42, 0x8001, 0, {}},
        UnpackCase{"bytes past the frame are ignored", concat(kV2Example, {0x55, 0xBB, 0x00, 0xFF}), 0x01, 0x1234, 0, After::Header, 2, 0x01, 0x1234, 2, kPayloadABCD},
        UnpackCase{"v1 bytes past the frame are ignored", concat(kV1InExample, {0x00}), 0x01, 0x1234, 0, After::Header, 1, 0x01, 0x1234, 2, kPayloadABCD}),
    ByWhat());
// clang-format on

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Wildcards, Unpack, ::testing::Values(
        UnpackCase{"frame command FFFF passes any expected command", kV2Wildcard, 0x01, 0x1234, 0, After::Header, 2, 0x01, 0xFFFF, 2, kPayloadABCD},
        UnpackCase{"expected command FFFF is no wildcard", kV2Example, 0x01, 0xFFFF, -4, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"expected address FF is no wildcard", kV2Example, 0xFF, 0x1234, -3, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"expected address 00 is no wildcard", kV2Example, 0x00, 0x1234, -3, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"frame address FF is no wildcard", with_checksum({0x55, 0xBB, 0xFF, 0x00, 0x12, 0x34}), 0x01, 0x1234, -3, After::Header, 2, 0xFF, 0x1234, 0, {}}),
    ByWhat());
// clang-format on

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Refusals, Unpack, ::testing::Values(
        UnpackCase{"0 bytes", {}, 0x01, 0x1234, -1, After::Untouched, 0, 0, 0, 0, {}},
        UnpackCase{"1 byte, sync start", {0x55}, 0x01, 0x1234, -1, After::Untouched, 0, 0, 0, 0, {}},
        UnpackCase{"1 byte, garbage", {0x00}, 0x01, 0x1234, -1, After::Untouched, 0, 0, 0, 0, {}},
        UnpackCase{"2 bytes, v1 sync", first(kV1InExample, 2), 0x01, 0x1234, -1, After::VersionOnly, 1, 0, 0, 0, {}},
        UnpackCase{"7 bytes, v1 sync", first(kV1InExample, 7), 0x01, 0x1234, -1, After::VersionOnly, 1, 0, 0, 0, {}},
        UnpackCase{"2 bytes, v2 sync", first(kV2Example, 2), 0x01, 0x1234, -1, After::VersionOnly, 2, 0, 0, 0, {}},
        UnpackCase{"5 bytes, v2 sync", first(kV2Example, 5), 0x01, 0x1234, -1, After::VersionOnly, 2, 0, 0, 0, {}},
        UnpackCase{"7 bytes, v2 sync", first(kV2Example, 7), 0x01, 0x1234, -1, After::VersionOnly, 2, 0, 0, 0, {}},
        UnpackCase{"2 bytes, other header", {0x12, 0x34}, 0x01, 0x1234, -2, After::Untouched, 0, 0, 0, 0, {}},
        UnpackCase{"7 bytes, other header", {0x55, 0xCC, 1, 2, 3, 4, 5}, 0x01, 0x1234, -2, After::Untouched, 0, 0, 0, 0, {}},
        UnpackCase{"sync bytes swapped", with(kV2Example, 0, 0xBB), 0x01, 0x1234, -2, After::Untouched, 0, 0, 0, 0, {}},
        UnpackCase{"sync 55 55", with(kV2Example, 1, 0x55), 0x01, 0x1234, -2, After::Untouched, 0, 0, 0, 0, {}},
        UnpackCase{"v1 length byte 0", with(kV1Empty, 3, 0x00), 0x42, 0x8001, -1, After::VersionOnly, 1, 0, 0, 0, {}},
        UnpackCase{"v1 length byte 1", with(kV1Empty, 3, 0x01), 0x42, 0x8001, -1, After::VersionOnly, 1, 0, 0, 0, {}},
        UnpackCase{"v2 frame one byte short", first(kV2Example, 9), 0x01, 0x1234, -1, After::VersionOnly, 2, 0, 0, 0, {}},
        UnpackCase{"v1 frame one byte short", first(kV1InExample, 9), 0x01, 0x1234, -1, After::VersionOnly, 1, 0, 0, 0, {}},
        UnpackCase{"v2 length byte announces 255", with(kV2Example, 3, 0xFF), 0x01, 0x1234, -1, After::VersionOnly, 2, 0, 0, 0, {}},
        UnpackCase{"v1 length byte announces 255", with(kV1InExample, 3, 0xFF), 0x01, 0x1234, -1, After::VersionOnly, 1, 0, 0, 0, {}},
        UnpackCase{"wrong address", with(kV2Example, 2, 0x02), 0x01, 0x1234, -3, After::Header, 2, 0x02, 0x1234, 2, {}},
        UnpackCase{"wrong address and checksum", with(with(kV2Example, 2, 0x02), 8, 0x00), 0x01, 0x1234, -3, After::Header, 2, 0x02, 0x1234, 2, {}},
        UnpackCase{"wrong command", kV2Example, 0x01, 0x1235, -4, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"wrong command and checksum", with(kV2Example, 9, 0x00), 0x01, 0x3412, -4, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"v1 wrong command", kV1InExample, 0x01, 0x0012, -4, After::Header, 1, 0x01, 0x1234, 2, {}},
        UnpackCase{"checksum low byte off", with(kV2Example, 8, 0xC2), 0x01, 0x1234, -5, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"checksum high byte off", with(kV2Example, 9, 0x00), 0x01, 0x1234, -5, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"checksum bytes swapped", with(with(kV2Example, 8, 0x01), 9, 0xC1), 0x01, 0x1234, -5, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"payload byte flipped", with(kV2Example, 7, 0xCC), 0x01, 0x1234, -5, After::Header, 2, 0x01, 0x1234, 2, {}},
        UnpackCase{"v1 checksum off", with(kV1InExample, 9, 0x02), 0x01, 0x1234, -5, After::Header, 1, 0x01, 0x1234, 2, {}},
        UnpackCase{"v1 packed frame read with its own command", kV1PackedExample, 0x01, 0x1234, -4, After::Header, 1, 0x01, 0x0012, 3, {}}),
    ByWhat());
// clang-format on

TEST(UnpackArguments, NullsAreRefused)
{
    Receiver r;
    sci_pack_t no_data = r.rec;
    no_data.data = nullptr;

    EXPECT_EQ(cu_korvi_sci_unpack(0x01, 0x1234, nullptr, kV2Example.data(), 10), -1);
    EXPECT_EQ(cu_korvi_sci_unpack(0x01, 0x1234, &r.rec, nullptr, 10), -1);
    EXPECT_EQ(cu_korvi_sci_unpack(0x01, 0x1234, &no_data, kV2Example.data(), 10), -1);
    EXPECT_EQ(no_data.version, kSentinel);
    EXPECT_EQ(r.rec.version, kSentinel);
    EXPECT_TRUE(r.payload_untouched());
}

// ------------------------------------------------------------ round trips

TEST(RoundTrip, Version2RecordsComeBackUnchanged)
{
    std::mt19937 rng(20261208); // NOLINT(cert-msc51-cpp): a fixed seed, so that a failure repeats
    for (int i = 0; i < 20000; i++) {
        uint8_t sent_payload[255];
        uint16_t len = static_cast<uint16_t>(rng() % 256);
        for (unsigned j = 0; j < len; j++)
            sent_payload[j] = static_cast<uint8_t>(rng());
        sci_pack_t sent = {2, static_cast<uint8_t>(rng()), static_cast<uint16_t>(rng()), len,
                           sent_payload};
        uint8_t frame[263 + kGuard];
        std::memset(frame, kSentinel, sizeof frame);

        int16_t n = cu_korvi_sci_pack(&sent, frame, 263);
        ASSERT_EQ(n, len + 8) << "record " << i;

        Receiver r;
        ASSERT_EQ(cu_korvi_sci_unpack(sent.addr, sent.cmd, &r.rec, frame, static_cast<uint16_t>(n)),
                  0)
            << "record " << i << ": " << hex(frame, size_t(n));
        EXPECT_EQ(r.rec.version, 2);
        EXPECT_EQ(r.rec.addr, sent.addr);
        EXPECT_EQ(r.rec.cmd, sent.cmd);
        ASSERT_EQ(r.rec.len, len);
        ASSERT_EQ(std::memcmp(r.payload, sent_payload, len), 0) << "record " << i;
        ASSERT_TRUE(r.payload_untouched(len));

        // Any single corrupted byte after the sync header is caught.
        size_t at = 2 + rng() % size_t(n - 2);
        frame[at] = static_cast<uint8_t>(frame[at] ^ (1u + rng() % 255));
        Receiver bad;
        int16_t rc =
            cu_korvi_sci_unpack(sent.addr, sent.cmd, &bad.rec, frame, static_cast<uint16_t>(n));
        ASSERT_NE(rc, 0) << "corruption at " << at << " of " << hex(frame, size_t(n));
        ASSERT_TRUE(bad.payload_untouched());
    }
}

// A version-1 frame as packed carries a zero byte before the command, which
// the unpacker reads as the command's high byte: the command shifts by one
// byte and its low byte leads the payload.
TEST(RoundTrip, Version1PackedFramesReadBackShifted)
{
    std::mt19937 rng(7); // NOLINT(cert-msc51-cpp): a fixed seed, so that a failure repeats
    for (int i = 0; i < 5000; i++) {
        uint8_t sent_payload[252];
        uint16_t len = static_cast<uint16_t>(rng() % 253);
        for (unsigned j = 0; j < len; j++)
            sent_payload[j] = static_cast<uint8_t>(rng());
        sci_pack_t sent = {1, static_cast<uint8_t>(rng()), static_cast<uint16_t>(rng()), len,
                           sent_payload};
        uint8_t frame[261];

        int16_t n = cu_korvi_sci_pack(&sent, frame, sizeof frame);
        ASSERT_EQ(n, len + 9);

        Receiver r;
        uint16_t shifted = sent.cmd >> 8;
        ASSERT_EQ(cu_korvi_sci_unpack(sent.addr, shifted, &r.rec, frame, static_cast<uint16_t>(n)),
                  0);
        EXPECT_EQ(r.rec.version, 1);
        EXPECT_EQ(r.rec.cmd, shifted);
        ASSERT_EQ(r.rec.len, len + 1);
        EXPECT_EQ(r.payload[0], static_cast<uint8_t>(sent.cmd));
        ASSERT_EQ(std::memcmp(r.payload + 1, sent_payload, len), 0);
    }
}

// ------------------------------------------------------ overlapping buffers

// The payload may overlap the destination anywhere: before it, across the
// header, at its own place in the frame (built in place), across the checksum
// or past it. The frame is always the one built from a separate copy. The
// unpacker, too, copies a payload into a buffer that overlaps the frame. Every
// length, so that the sum and copy 16 bytes at a time are checked against the
// byte-wise reference with every count of bytes left over.
TEST(Overlap, PayloadAnywhereAroundTheFrame)
{
    constexpr ptrdiff_t kAt = 300; // the frame's place in the area
    for (uint8_t version : {uint8_t{1}, uint8_t{2}})
        for (uint16_t len = 0; len <= uint16_t(version == 1 ? 252 : 255); len++) {
            ptrdiff_t head = version == 1 ? 7 : 6;
            Bytes payload(len);
            for (size_t i = 0; i < len; i++)
                payload[i] = static_cast<uint8_t>(0x80 + i * 37);
            Bytes want = reference_frame(version, 0xA5, 0x8123, data_of(payload), len);
            for (ptrdiff_t from = -ptrdiff_t(len) - 1; from <= len + head + 3; from++) {
                uint8_t area[900];
                std::memset(area, kSentinel, sizeof area);
                std::memcpy(area + kAt + from, data_of(payload), len);
                sci_pack_t rec = {version, 0xA5, 0x8123, len, area + kAt + from};
                int16_t n = cu_korvi_sci_pack(&rec, area + kAt, 600);
                ASSERT_EQ(hex(area + kAt, size_t(std::max<int16_t>(n, 0))), hex(want))
                    << "version " << int(version) << ", " << len << " bytes at " << from;
                if (version == 1)
                    continue;
                Receiver r;
                r.rec.data = area + kAt + from;
                ASSERT_EQ(cu_korvi_sci_unpack(0xA5, 0x8123, &r.rec, area + kAt, 600), 0);
                ASSERT_EQ(hex(area + kAt + from, len), hex(payload))
                    << "unpacked into " << from << ", " << len << " bytes";
            }
        }
}

} // namespace
