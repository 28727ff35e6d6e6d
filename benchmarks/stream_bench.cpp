// The stream reader's speed per byte, for streams of doubling size, fed in
// large pieces and a byte at a time: flat figures down a column show the work
// growing in step with the bytes. Three streams:
//   frames   version-2 frames of 0 to 255 payload bytes, 0 to 64 random bytes apart
//   headers  55 BB xx FF over and over: a header announcing 255 bytes at every
//            fourth byte, each one complete only 263 bytes on, each one bad
//   sync     0x55 and nothing else: a sync byte everywhere, never a frame
//   stream_bench [MIB]   (default 64: the largest size; the others halve it)
#include "sci_stream.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes make(const char *kind, size_t size)
{
    Bytes s;
    s.reserve(size + 300);
    std::mt19937 rng(1);
    while (s.size() < size) {
        if (kind[0] == 'f') {
            uint8_t payload[255];
            uint8_t frame[263];
            for (size_t g = rng() % 65; g > 0; g--)
                s.push_back(static_cast<uint8_t>(rng()));
            uint16_t len = static_cast<uint16_t>(rng() % 256);
            for (uint16_t i = 0; i < len; i++)
                payload[i] = static_cast<uint8_t>(rng());
            sci_pack_t rec = {2, static_cast<uint8_t>(rng()), static_cast<uint16_t>(rng()), len,
                              payload};
            int16_t n = cu_korvi_sci_pack(&rec, frame, sizeof frame);
            s.insert(s.end(), frame, frame + n);
        } else if (kind[0] == 'h') {
            s.insert(s.end(), {0x55, 0xBB, static_cast<uint8_t>(rng()), 0xFF});
        } else {
            s.push_back(0x55);
        }
    }
    s.resize(size);
    return s;
}

double seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Feeds the whole stream in pieces of `piece` bytes, taking every frame out.
// Returns the time taken; `frames` gets how many came out.
double run(const Bytes &s, size_t piece, uint64_t &frames)
{
    static sci_stream_t rd;
    sci_stream_frame_t f;
    double start = seconds();

    sci_stream_init(&rd, 0);
    frames = 0;
    for (size_t at = 0; at < s.size();) {
        size_t end = at + piece < s.size() ? at + piece : s.size();
        while (at < end) {
            at += sci_stream_feed(&rd, s.data() + at, end - at, 0);
            while (sci_stream_next(&rd, &f))
                frames++;
        }
    }
    sci_stream_end(&rd);
    while (sci_stream_next(&rd, &f))
        frames++;
    return seconds() - start;
}

} // namespace

int main(int argc, char **argv)
{
    size_t largest = size_t(argc > 1 ? std::atoi(argv[1]) : 64) << 20;

    std::printf("| stream | piece | MiB | frames out | s | MB/s | ns per byte |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const char *kind : {"frames", "headers", "sync"})
        for (size_t piece : {size_t(65536), size_t(1)})
            for (size_t size = largest / 4; size <= largest; size *= 2) {
                // A byte at a time is slow enough to show at a quarter of it.
                size_t bytes = piece == 1 ? size / 4 : size;
                Bytes s = make(kind, bytes);
                uint64_t frames;
                double best = 1e9;
                for (int rep = 0; rep < 3; rep++) {
                    double t = run(s, piece, frames);
                    best = t < best ? t : best;
                }
                std::printf("| %s | %zu | %.0f | %llu | %.3f | %.0f | %.2f |\n", kind, piece,
                            double(bytes) / 1048576, (unsigned long long)frames, best,
                            double(bytes) / best / 1e6, best * 1e9 / double(bytes));
            }
    return 0;
}
