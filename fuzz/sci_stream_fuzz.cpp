// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to the stream reader, whole and split into pieces the
// input chooses, and checks its properties: any split gives the same frames;
// offsets only grow; every frame's bytes are the input's at its offset;
// every byte fed ends in a good frame or is skipped; the codec sees at most
// one longest frame per byte fed; a filter only hides frames, it changes
// neither them nor the counters; with a gap, times that pass it and input
// ended here and there, taking frames out late and feeding the time alone
// change no frame, nor does putting a byte at a time between feeds; and times
// in any order keep all of that but the split.
//
// Input: byte 0 seeds the split, byte 1 chooses an address filter (below
// 0x80) and the gap's times, the rest is the stream.
#include "fuzz_support.h"
#include "sci_stream.h"

#include <cstring>
#include <vector>

using fuzz::require;

namespace
{

struct Frame {
    uint64_t offset;
    uint16_t size, total, cmd, len;
    int16_t result;
    uint8_t version, addr;

    bool operator==(const Frame &o) const
    {
        return offset == o.offset && size == o.size && total == o.total && cmd == o.cmd &&
               len == o.len && result == o.result && version == o.version && addr == o.addr;
    }
};

struct Run {
    std::vector<Frame> frames;
    sci_stream_counters_t counters;
};

// Takes frames out, at most `most` of them, checking each against the input.
void drain(sci_stream_t &rd, const uint8_t *in, size_t fed, Run &run, uint64_t &good_bytes,
           uint64_t &codec_bytes, size_t most = SIZE_MAX)
{
    sci_stream_frame_t f;
    for (size_t i = 0; i < most && sci_stream_next(&rd, &f); i++) {
        Frame r = {f.offset, f.size, f.total, f.cmd, f.len, f.result, f.version, f.addr};
        require(f.offset + f.size <= fed, "a frame lies within the bytes fed");
        require(std::memcmp(f.bytes, in + f.offset, f.size) == 0,
                "a frame's bytes are the input's");
        require(run.frames.empty() || f.offset > run.frames.back().offset, "offsets only grow");
        require(f.version == (in[f.offset + 1] == 0xAA ? 1 : 2) && in[f.offset] == 0x55,
                "a frame starts at its sync header");
        if (f.result == SCI_STREAM_PARTIAL) {
            require(f.total == 0 || f.size < f.total, "a partial frame is short of its length");
        } else {
            require(f.size == f.total && f.size <= SCI_STREAM_FRAME_MAX, "a frame is whole");
            require(f.result == SCI_OK || f.result == SCI_ERR_CHECKSUM, "the codec's verdict");
            require(f.payload == f.bytes + 6 && f.len + 8u == f.size, "payload after the header");
            codec_bytes += f.size;
            if (f.result == SCI_OK)
                good_bytes += f.size;
        }
        run.frames.push_back(r);
    }
}

// Whether the reader is right to say, after a put, that there is no frame.
void require_none(sci_stream_t &rd)
{
    sci_stream_frame_t f;
    require(sci_stream_next(&rd, &f) == 0, "a put that says no frame is ready is right");
}

// Feeds `in` in pieces of the sizes `next_piece` gives, at the times
// `next_time` gives, then ends the input. With `mix`, pieces of an odd size
// go in a byte at a time with sci_stream_put.
template <class Piece, class Time>
Run feed(const uint8_t *in, size_t n, uint32_t gap, int32_t addr, Piece next_piece, Time next_time,
         bool mix = false)
{
    static sci_stream_t rd; // the reader is a kilobyte: keep it off the stack
    Run run;
    uint64_t good_bytes = 0, codec_bytes = 0;

    sci_stream_init(&rd, gap);
    sci_stream_filter(&rd, addr, SCI_STREAM_ANY);
    for (size_t at = 0; at < n;) {
        size_t end = at + next_piece();
        if (end > n)
            end = n;
        uint64_t now = next_time();
        for (bool put = mix && (end - at) % 2 == 1; put && at < end;)
            if (sci_stream_put(&rd, in[at++], now))
                drain(rd, in, at, run, good_bytes, codec_bytes);
        while (at < end) {
            at += sci_stream_feed(&rd, in + at, end - at, now);
            drain(rd, in, at, run, good_bytes, codec_bytes);
        }
    }
    sci_stream_end(&rd);
    drain(rd, in, n, run, good_bytes, codec_bytes);
    run.counters = rd.counters;
    require(good_bytes + rd.counters.skipped == n || addr != SCI_STREAM_ANY,
            "every byte is in a good frame or skipped");
    require(codec_bytes <= uint64_t(SCI_STREAM_FRAME_MAX) * n, "the codec's work is linear");
    return run;
}

// A piece of the input: where it ends, when it came, and whether the input
// is ended after it.
struct Step {
    size_t end;
    uint64_t ms;
    bool ended;
};

// Feeds the steps with a gap of 10 ms. Eagerly, every frame is taken out
// after every call; otherwise only `random` says how many, but all of them
// when the reader takes no more bytes, and the time alone is fed now and
// then, at a time between the steps'.
template <class Random>
Run feed_steps(const uint8_t *in, const std::vector<Step> &steps, bool eager, Random random)
{
    static sci_stream_t rd;
    Run run;
    uint64_t good_bytes = 0, codec_bytes = 0, last = 0;
    size_t at = 0;
    auto take = [&](size_t most) {
        drain(rd, in, at, run, good_bytes, codec_bytes, eager ? SIZE_MAX : most);
    };

    sci_stream_init(&rd, 10);
    for (const Step &step : steps) {
        if (!eager && random() % 3 == 0)
            sci_stream_feed(&rd, nullptr, 0, last + random() % (step.ms - last + 1));
        for (bool put = eager && random() % 2 == 0; put && at < step.end;)
            if (sci_stream_put(&rd, in[at++], step.ms))
                take(SIZE_MAX);
            else
                require_none(rd);
        while (at < step.end) {
            size_t took = sci_stream_feed(&rd, in + at, step.end - at, step.ms);
            at += took;
            take(took == 0 ? SIZE_MAX : random() % 3);
        }
        if (step.ended) {
            sci_stream_end(&rd);
            take(random() % 3);
        }
        last = step.ms;
    }
    sci_stream_end(&rd);
    take(SIZE_MAX);
    run.counters = rd.counters;
    return run;
}

bool same_counters(const sci_stream_counters_t &a, const sci_stream_counters_t &b)
{
    return a.good == b.good && a.bad == b.bad && a.skipped == b.skipped && a.dropped == b.dropped;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint32_t state = data[0] * 2654435761u + 1;
    auto random = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    int32_t addr = data[1] < 0x80 ? data[1] : SCI_STREAM_ANY;
    fuzz::Buffer copy = fuzz::exact_copy(data + 2, size - 2);
    const uint8_t *in = copy.get();
    size_t n = size - 2;
    auto never = [] { return uint64_t{0}; };

    Run whole = feed(
        in, n, 0, SCI_STREAM_ANY, [n] { return n; }, never);
    Run split = feed(
        in, n, 0, SCI_STREAM_ANY, [&] { return random() % 70; }, never, true);
    require(split.frames == whole.frames, "any split gives the same frames");
    require(same_counters(split.counters, whole.counters), "and the same counters");

    Run filtered = feed(
        in, n, 0, addr, [&] { return random() % 300; }, never);
    std::vector<Frame> kept;
    for (const Frame &f : whole.frames)
        if (addr == SCI_STREAM_ANY || (f.size > 2 && f.addr == addr))
            kept.push_back(f);
    require(filtered.frames == kept, "a filter only hides frames");
    require(same_counters(filtered.counters, whole.counters), "a filter changes no counter");

    std::vector<Step> steps;
    uint64_t ms = 0;
    for (size_t end = 0; end < n;) {
        end += random() % 40;
        ms += random() % 4 == 0 ? 11 + random() % 30 : random() % 6;
        steps.push_back({end < n ? end : n, ms, random() % 16 == 0});
    }
    Run eager = feed_steps(in, steps, true, random);
    Run lazy = feed_steps(in, steps, false, random);
    require(lazy.frames == eager.frames, "when frames are taken out changes no frame");
    require(same_counters(lazy.counters, eager.counters), "nor any counter");

    // Times that jump by up to 4 gaps, or go back: the checks inside feed()
    // hold whatever the gap drops.
    uint64_t now = 1000;
    feed(
        in, n, 10, SCI_STREAM_ANY, [&] { return random() % 40; },
        [&] { return now = random() % 8 == 0 ? now - 5 : now + random() % (data[1] % 40 + 1); },
        true);
    return 0;
}
