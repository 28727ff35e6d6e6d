// SPDX-License-Identifier: MIT
// Stream reader: a table of streams fed in pieces at given times, with the
// frames and counters each must give; then properties over random streams:
// any split gives the same frames, offsets only grow, the codec sees each byte
// a bounded number of times, and every byte fed ends in a good frame or is
// skipped.
#include "frame_reference.h"
#include "sci_stream.h"
#include "table_names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

const auto v2 = v2_frame;
const auto v1 = v1_frame;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes broken(Bytes f)
{
    if (!f.empty())
        f.back() ^= 0x5A;
    return f;
}

Bytes head(const Bytes &f, size_t n)
{
    return Bytes(f.begin(), f.begin() + long(n));
}

const Bytes kGood = v2(0x01, 0x1234, {0xAB, 0xCD});
const Bytes kOther = v2(0x02, 0x0007, {0x01, 0x02, 0x03});
const Bytes kWild = v2(0x03, 0xFFFF, {});
const Bytes kOld = v1(0x01, 0x1234, {0xAB, 0xCD});
// A header that announces 255 payload bytes which never come.
const Bytes kStale = {0x55, 0xBB, 0x09, 0xFF, 0x00, 0x01};

// One line per frame: offset, version, what came of it, and the time of its
// last byte unless that is 0 (or, with `times` off, unless the frame is
// partial: only a cut frame's time does not depend on when it was taken out).
std::string describe(const sci_stream_frame_t &f, bool times = true)
{
    char text[96];
    if (f.result == SCI_STREAM_PARTIAL)
        (void)std::snprintf(text, sizeof text, "%llu v%u partial %u/%u",
                            (unsigned long long)f.offset, f.version, f.size, f.total);
    else
        (void)std::snprintf(text, sizeof text, "%llu v%u %02X %04X len %u %s",
                            (unsigned long long)f.offset, f.version, f.addr, f.cmd, f.len,
                            f.result == SCI_OK ? "ok" : "bad");
    std::string line = text;
    if (f.time_ms != 0 && (times || f.result == SCI_STREAM_PARTIAL))
        line += " @" + std::to_string(f.time_ms);
    return line;
}

// Bytes that came at one time; the input ends after them when `end` is set.
struct Piece {
    Bytes bytes;
    uint64_t ms;
    bool end = false;
};

struct Outcome {
    std::vector<std::string> frames;
    sci_stream_counters_t counters;
    uint64_t codec_bytes; // bytes of the complete frames, all handed to the codec
    uint64_t good_bytes;  // bytes of the good frames
};

// Takes frames out of a reader, checking each: its bytes must be the
// stream's at its offset, and a complete frame's payload must follow its
// header.
struct Taker {
    sci_stream_t &rd;
    bool times;
    Outcome out{};
    Bytes stream;

    // Takes out at most `most` frames.
    void take(size_t most = SIZE_MAX)
    {
        sci_stream_frame_t f;
        for (size_t i = 0; i < most && sci_stream_next(&rd, &f); i++) {
            out.frames.push_back(describe(f, times));
            EXPECT_LE(f.offset + f.size, stream.size());
            EXPECT_EQ(
                Bytes(f.bytes, f.bytes + f.size),
                Bytes(stream.begin() + long(f.offset), stream.begin() + long(f.offset + f.size)));
            if (f.result != SCI_STREAM_PARTIAL) {
                EXPECT_EQ(f.payload, f.bytes + 6);
                out.codec_bytes += f.size;
            }
            if (f.result == SCI_OK)
                out.good_bytes += f.size;
        }
    }

    Outcome finish()
    {
        sci_stream_end(&rd);
        take();
        out.counters = rd.counters;
        return out;
    }
};

// Feeds each piece whole (as much as the reader takes at a time), taking
// every frame out after each feed, then ends the input when asked. A piece
// for which `put` says so goes in a byte at a time with sci_stream_put, its
// frames taken out only when that returns 1, and then there must be some.
Outcome feed(sci_stream_t &rd, const std::vector<Piece> &pieces, bool end, bool times = true,
             const std::function<bool()> &put = nullptr)
{
    Taker t{rd, times, {}, {}};
    sci_stream_frame_t f;
    for (const Piece &p : pieces) {
        t.stream.insert(t.stream.end(), p.bytes.begin(), p.bytes.end());
        size_t at = 0;
        if (put && !p.bytes.empty() && put())
            for (uint8_t b : p.bytes) {
                if (sci_stream_put(&rd, b, p.ms))
                    t.take();
                else
                    EXPECT_EQ(sci_stream_next(&rd, &f), 0) << "a frame came after a put said none";
            }
        else
            do {
                at += sci_stream_feed(&rd, p.bytes.data() + at, p.bytes.size() - at, p.ms);
                t.take();
            } while (at < p.bytes.size());
        if (p.end) {
            sci_stream_end(&rd);
            t.take();
        }
    }
    if (end)
        return t.finish();
    t.out.counters = rd.counters;
    return t.out;
}

// The same pieces fed as a careless caller might: frames taken out only now
// and then (all of them only when the reader takes no more bytes), the time
// alone fed now and then between pieces, at a time between theirs.
Outcome feed_lazily(sci_stream_t &rd, const std::vector<Piece> &pieces, std::mt19937 &rng)
{
    Taker t{rd, false, {}, {}};
    uint64_t last = 0;
    for (const Piece &p : pieces) {
        if (rng() % 3 == 0)
            sci_stream_feed(&rd, nullptr, 0, last + rng() % (p.ms - last + 1));
        t.stream.insert(t.stream.end(), p.bytes.begin(), p.bytes.end());
        for (size_t at = 0; at < p.bytes.size();) {
            size_t took = sci_stream_feed(&rd, p.bytes.data() + at, p.bytes.size() - at, p.ms);
            at += took;
            t.take(took == 0 ? SIZE_MAX : rng() % 3);
        }
        if (p.end) {
            sci_stream_end(&rd);
            t.take(rng() % 3);
        }
        last = p.ms;
    }
    return t.finish();
}

struct StreamCase {
    const char *what;
    std::vector<Piece> pieces;
    uint32_t gap_ms;
    bool end;
    int32_t addr, cmd; // filters
    std::vector<std::string> frames;
    sci_stream_counters_t counters; // good, bad, skipped, dropped
};

void PrintTo(const StreamCase &c, std::ostream *os)
{
    *os << c.what;
}

class Stream : public ::testing::TestWithParam<StreamCase>
{
};

TEST_P(Stream, GivesTheseFramesAndCounts)
{
    const StreamCase &c = GetParam();
    for (bool by_byte : {false, true}) {
        SCOPED_TRACE(by_byte ? "put a byte at a time" : "fed in pieces");
        sci_stream_t rd;
        sci_stream_init(&rd, c.gap_ms);
        sci_stream_filter(&rd, c.addr, c.cmd);
        Outcome out = feed(rd, c.pieces, c.end, true, [&] { return by_byte; });
        EXPECT_EQ(out.frames, c.frames);
        EXPECT_EQ(out.counters.good, c.counters.good);
        EXPECT_EQ(out.counters.bad, c.counters.bad);
        EXPECT_EQ(out.counters.skipped, c.counters.skipped);
        EXPECT_EQ(out.counters.dropped, c.counters.dropped);
    }
}

constexpr int32_t kAny = SCI_STREAM_ANY;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, Stream, ::testing::Values(
        StreamCase{"version 2 frame", {{kGood, 0}}, 0, false, kAny, kAny, {"0 v2 01 1234 len 2 ok"}, {1, 0, 0, 0}},
        StreamCase{"version 1 frame", {{kOld, 0}}, 0, false, kAny, kAny, {"0 v1 01 1234 len 2 ok"}, {1, 0, 0, 0}},
        StreamCase{"a byte or a few at a time", {{{0x55}, 0}, {{0xBB}, 0}, {{0x01, 0x02, 0x12, 0x34, 0xAB, 0xCD}, 0}, {{0xC1}, 0}, {{0x01}, 0}}, 0, false, kAny, kAny, {"0 v2 01 1234 len 2 ok"}, {1, 0, 0, 0}},
        StreamCase{"garbage around frames", {{cat({{0x00, 0x55, 0x13, 0xFF}, kGood, {0x55, 0x55}, kOther}), 0}}, 0, false, kAny, kAny, {"4 v2 01 1234 len 2 ok", "16 v2 02 0007 len 3 ok"}, {2, 0, 6, 0}},
        StreamCase{"bad checksum: the search goes on one byte after its start", {{cat({broken(kGood), kOther}), 0}}, 0, false, kAny, kAny, {"0 v2 01 1234 len 2 bad", "10 v2 02 0007 len 3 ok"}, {1, 1, 10, 0}},
        StreamCase{"good frame inside a damaged one", {{cat({{0x55, 0xBB, 0x01, 0x0C, 0x12, 0x34}, kOther, {0x00, 0x00, 0x00}}), 0}}, 0, false, kAny, kAny, {"0 v2 01 1234 len 12 bad", "6 v2 02 0007 len 3 ok"}, {1, 1, 9, 0}},
        StreamCase{"version-1 length byte below 2 makes no frame", {{cat({{0x55, 0xAA, 0x01, 0x01}, kGood}), 0}}, 0, false, kAny, kAny, {"4 v2 01 1234 len 2 ok"}, {1, 0, 4, 0}},
        StreamCase{"a frame waits for its end without the end of input", {{head(kGood, 7), 0}}, 0, false, kAny, kAny, {}, {0, 0, 0, 0}},
        StreamCase{"cut off by the end of input", {{cat({{0x55}, kGood, head(kOther, 7)}), 0}}, 0, true, kAny, kAny, {"1 v2 01 1234 len 2 ok", "11 v2 partial 7/11"}, {1, 0, 8, 1}},
        StreamCase{"header cut before its length byte", {{{0x13, 0x55, 0xBB, 0x01}, 0}}, 0, true, kAny, kAny, {"1 v2 partial 3/0"}, {0, 0, 4, 1}},
        StreamCase{"a lone 55 at the end is no frame", {{{0x13, 0x55}, 0}}, 0, true, kAny, kAny, {}, {0, 0, 2, 0}},
        StreamCase{"stale header dropped after the gap", {{kStale, 0}, {cat({kGood, kOld}), 100}}, 50, false, kAny, kAny, {"0 v2 partial 6/263", "6 v2 01 1234 len 2 ok @100", "16 v1 01 1234 len 2 ok @100"}, {2, 0, 6, 1}},
        StreamCase{"a stale header stays stale when the reader moves its bytes", {{cat({Bytes(1000, 0x00), kStale}), 0}, {cat({kGood, kOld}), 100}}, 50, false, kAny, kAny, {"1000 v2 partial 6/263", "1006 v2 01 1234 len 2 ok @100", "1016 v1 01 1234 len 2 ok @100"}, {2, 0, 1006, 1}},
        StreamCase{"stale header within the gap swallows what follows", {{kStale, 0}, {cat({kGood, kOld}), 40}}, 50, false, kAny, kAny, {}, {0, 0, 0, 0}},
        StreamCase{"gap 0: no gap", {{kStale, 0}, {cat({kGood, kOld}), 100000}}, 0, false, kAny, kAny, {}, {0, 0, 0, 0}},
        StreamCase{"the gap passes with nothing fed", {{kStale, 0}, {{}, 51}}, 50, false, kAny, kAny, {"0 v2 partial 6/263"}, {0, 0, 6, 1}},
        StreamCase{"frames complete before the gap stay", {{cat({kGood, {0x55, 0xBB, 0x05}}), 0}, {kOld, 100}}, 50, false, kAny, kAny, {"0 v2 01 1234 len 2 ok", "10 v2 partial 3/0", "13 v1 01 1234 len 2 ok @100"}, {2, 0, 3, 1}},
        StreamCase{"address filter", {{cat({kGood, kOther, kWild}), 0}}, 0, false, 2, kAny, {"10 v2 02 0007 len 3 ok"}, {3, 0, 0, 0}},
        StreamCase{"command filter lets FFFF through", {{cat({kGood, kOther, kWild, kOld}), 0}}, 0, false, kAny, 0x1234, {"0 v2 01 1234 len 2 ok", "21 v2 03 FFFF len 0 ok", "29 v1 01 1234 len 2 ok"}, {4, 0, 0, 0}},
        StreamCase{"filters keep bad frames and partials whose fields match", {{cat({broken(kOther), head(kOther, 7)}), 0}}, 0, true, 2, 7, {"0 v2 02 0007 len 3 bad", "11 v2 partial 7/11"}, {0, 1, 18, 1}},
        StreamCase{"a partial cut before its command passes no command filter", {{head(kOther, 4), 0}}, 0, true, kAny, 7, {}, {0, 0, 4, 1}},
        StreamCase{"runs of 55 and sync headers with no frame after them", {{cat({Bytes(1000, 0x55), kGood, {0x55, 0xAA}, Bytes(300, 0x13), {0x55, 0x55, 0xBB, 0x55}, Bytes(20, 0x55), kOld, {0x55}}), 0}}, 0, true, kAny, kAny, {"1000 v2 01 1234 len 2 ok", "1010 v1 13 1313 len 17 bad", "1313 v2 partial 34/93", "1336 v1 01 1234 len 2 ok"}, {2, 1, 1327, 1}},
        StreamCase{"more than the reader holds at once", {{cat({Bytes(1500, 0x00), kGood, Bytes(700, 0x55), kOther}), 0}}, 0, false, kAny, kAny, {"1500 v2 01 1234 len 2 ok", "2210 v2 02 0007 len 3 ok"}, {2, 0, 2200, 0}}),
    ByWhat());
// clang-format on

// ------------------------------------------------------------ properties

// A stream of good frames of both versions, bad and cut-off frames, stale
// headers and garbage, with the payloads and lengths the rng picks.
Bytes random_stream(std::mt19937 &rng, size_t frames)
{
    Bytes s;
    for (size_t i = 0; i < frames; i++) {
        Bytes payload(rng() % 40);
        for (uint8_t &b : payload)
            b = static_cast<uint8_t>(rng() % 3 == 0 ? 0x55 : rng());
        Bytes f = rng() % 2 ? v2(uint8_t(rng()), uint16_t(rng()), payload)
                            : v1(uint8_t(rng()), uint16_t(rng()), payload);
        switch (rng() % 8) {
        case 0:
            f = broken(f);
            break;
        case 1:
            f = head(f, rng() % f.size());
            break;
        case 2:
            f.insert(f.begin(), {0x55, 0xBB, uint8_t(rng()), uint8_t(rng())});
            break;
        case 3: // a run of 55, as senders send for baud detection, or a sync header alone
        case 4:
            f.insert(f.begin(), rng() % 300, 0x55);
            if (rng() % 2)
                f.insert(f.begin() + long(rng() % (f.size() - 1)),
                         uint8_t(rng() % 2 ? 0xAA : 0xBB));
            break;
        }
        s.insert(s.end(), f.begin(), f.end());
        for (size_t g = rng() % 4; g > 0; g--)
            s.push_back(static_cast<uint8_t>(rng() % 2 ? 0x55 : rng()));
    }
    return s;
}

// The same bytes split at random, fed at one time: the same frames, in the
// order of their offsets, with every byte accounted for and the codec's work
// bounded by the longest frame per byte fed.
TEST(StreamProperties, AnySplitGivesTheSameFrames)
{
    std::mt19937 rng(20261208); // NOLINT(cert-msc51-cpp): a fixed seed, so that a failure repeats
    for (int trial = 0; trial < 300; trial++) {
        Bytes s = random_stream(rng, 1 + rng() % 60);
        sci_stream_t whole;
        sci_stream_init(&whole, 0);
        Outcome want = feed(whole, {{s, 0}}, true);

        std::vector<Piece> pieces;
        for (size_t at = 0; at < s.size();) {
            size_t n = std::min<size_t>(s.size() - at, rng() % 3 ? rng() % 8 : rng() % 600);
            pieces.push_back({Bytes(s.begin() + long(at), s.begin() + long(at + n)), 0});
            at += n;
        }
        sci_stream_t split;
        sci_stream_init(&split, 1000);
        Outcome got = feed(split, pieces, true, true, [&] { return rng() % 2 == 0; });
        ASSERT_EQ(got.frames, want.frames) << "trial " << trial;
        ASSERT_EQ(got.codec_bytes, want.codec_bytes);

        for (size_t i = 1; i < want.frames.size(); i++)
            ASSERT_GT(std::stoull(want.frames[i]), std::stoull(want.frames[i - 1]))
                << "offsets must grow";
        ASSERT_EQ(want.good_bytes + want.counters.skipped, s.size()) << "trial " << trial;
        ASSERT_LE(want.codec_bytes, uint64_t(SCI_STREAM_FRAME_MAX) * s.size());
    }
}

// Pieces at times that pass the gap now and then, the input ended after some
// of them: taking frames out late, feeding the time alone and ending the
// input between takes change neither the frames found, nor their counts.
TEST(StreamProperties, HowCallsInterleaveChangesNoFrame)
{
    std::mt19937 rng(20261209); // NOLINT(cert-msc51-cpp): a fixed seed, so that a failure repeats
    for (int trial = 0; trial < 300; trial++) {
        Bytes s = random_stream(rng, 1 + rng() % 60);
        std::vector<Piece> pieces;
        uint64_t ms = 0;
        for (size_t at = 0; at < s.size();) {
            size_t n = std::min<size_t>(s.size() - at, rng() % 3 ? rng() % 8 : rng() % 600);
            ms += rng() % 4 == 0 ? 11 + rng() % 30 : rng() % 6;
            pieces.push_back(
                {Bytes(s.begin() + long(at), s.begin() + long(at + n)), ms, rng() % 16 == 0});
            at += n;
        }
        sci_stream_t eager, lazy;
        sci_stream_init(&eager, 10);
        sci_stream_init(&lazy, 10);
        Outcome want = feed(eager, pieces, true, false, [&] { return rng() % 2 == 0; });
        Outcome got = feed_lazily(lazy, pieces, rng);
        ASSERT_EQ(got.frames, want.frames) << "trial " << trial;
        ASSERT_TRUE(got.counters.good == want.counters.good &&
                    got.counters.bad == want.counters.bad &&
                    got.counters.skipped == want.counters.skipped &&
                    got.counters.dropped == want.counters.dropped)
            << "trial " << trial;
    }
}

} // namespace
