// SPDX-License-Identifier: MIT
// The stream reader's cost per byte. Two tables:
//
// 1. Three streams of version-2 frames: 100,000 frames 0 to 64 random bytes
//    apart ("frames"), and 10,000 frames with 1,000 random bytes ("noise") or
//    1,000 bytes of 0x55 ("baud", as senders send for automatic baud
//    detection) between them. Each is fed as a receive loop does: in pieces of
//    1, 16 and 65536 bytes with sci_stream_feed, each piece followed by taking
//    every frame out, and a byte at a time with sci_stream_put, frames taken
//    out only when it says there are some. Nanoseconds per byte (best of three
//    runs) and instructions per byte, which callgrind counts when valgrind is
//    on the PATH (the program runs itself under it; the count is the same on a
//    busy machine). A library without sci_stream_put (before 1.2.0) gets no
//    put rows, so one binary measures old and new libraries alike.
// 2. Streams of doubling size fed in large pieces and a byte at a time: flat
//    figures down a column show the work growing in step with the bytes.
//    Three streams:
//      frames   version-2 frames of 0 to 255 payload bytes, 0 to 64 random bytes apart
//      headers  55 BB xx FF over and over: a header announcing 255 bytes at every
//               fourth byte, each one complete only 263 bytes on, each one bad
//      sync     0x55 and nothing else: a sync byte everywhere, never a frame
//
//   stream_bench [MIB]         both tables (MIB: the largest size of the second, default 64;
//                              0: the first table only)
//   stream_bench count STREAM PIECE|put   feeds a stream of the first table once, for callgrind
#include "sci_stream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

// Resolved at load when the library has it, else null.
extern "C" int sci_stream_put(sci_stream_t *s, uint8_t byte, uint64_t now_ms) __attribute__((weak));

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr size_t kFrames = 100000;
constexpr size_t kNoisyFrames = 10000;

// `size` bytes of the given kind, or, with size 0, a stream of `frames` frames.
Bytes make(const char *kind, size_t size, size_t frames = 0)
{
    Bytes s;
    s.reserve(size + 300);
    std::mt19937 rng(1); // NOLINT(cert-msc51-cpp): the same stream in every run
    for (size_t made = 0; size != 0 ? s.size() < size : made < frames; made++) {
        if (kind[0] == 'f' || kind[0] == 'n' || kind[0] == 'b') {
            uint8_t payload[255];
            uint8_t frame[263];
            for (size_t g = kind[0] == 'f' ? rng() % 65 : 1000; g > 0; g--)
                s.push_back(static_cast<uint8_t>(kind[0] == 'b' ? 0x55 : rng()));
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
    if (size != 0)
        s.resize(size);
    return s;
}

double seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Feeds the whole stream as a receive loop does, a read of up to `piece` bytes
// at a time, each fed and followed by taking every frame out; what the reader
// did not take comes again with the next read. Returns how many frames came
// out. Callgrind counts this function alone.
__attribute__((noipa)) uint64_t run_stream(const uint8_t *s, size_t size, size_t piece)
{
    static sci_stream_t rd;
    sci_stream_frame_t f;
    uint64_t frames = 0;

    sci_stream_init(&rd, 0);
    for (size_t at = 0; at < size;) {
        at += sci_stream_feed(&rd, s + at, size - at < piece ? size - at : piece, 0);
        while (sci_stream_next(&rd, &f))
            frames++;
    }
    sci_stream_end(&rd);
    while (sci_stream_next(&rd, &f))
        frames++;
    return frames;
}

// The same a byte at a time with sci_stream_put: one call per byte, and
// sci_stream_next only when the reader has something.
__attribute__((noipa)) uint64_t run_stream_put(const uint8_t *s, size_t size)
{
    static sci_stream_t rd;
    sci_stream_frame_t f;
    uint64_t frames = 0;

    sci_stream_init(&rd, 0);
    for (size_t at = 0; at < size; at++)
        if (sci_stream_put(&rd, s[at], 0))
            while (sci_stream_next(&rd, &f))
                frames++;
    sci_stream_end(&rd);
    while (sci_stream_next(&rd, &f))
        frames++;
    return frames;
}

// Piece 0: a byte at a time with sci_stream_put.
uint64_t run(const Bytes &s, size_t piece)
{
    return piece == 0 ? run_stream_put(s.data(), s.size()) : run_stream(s.data(), s.size(), piece);
}

Bytes first_table_stream(const char *kind)
{
    return make(kind, 0, kind[0] == 'f' ? kFrames : kNoisyFrames);
}

double best_of_three(const Bytes &s, size_t piece, uint64_t &frames)
{
    double best = 1e9;
    for (int rep = 0; rep < 3; rep++) {
        double start = seconds();
        frames = run(s, piece);
        double t = seconds() - start;
        best = t < best ? t : best;
    }
    return best;
}

// Instructions callgrind counts in run_stream or run_stream_put for one pass
// over the stream `kind` in pieces of `piece` bytes (0: put), or -1 when it
// cannot be run.
double instructions(const char *self, const char *kind, size_t piece)
{
    char out[] = "/tmp/stream_bench.XXXXXX";
    int fd = mkstemp(out);
    if (fd < 0)
        return -1;
    close(fd);
    std::string cmd = "valgrind -q --tool=callgrind --toggle-collect='*run_stream*' "
                      "--callgrind-out-file=" +
                      std::string(out) + " " + self + " count " + kind + " " +
                      std::to_string(piece) + " >/dev/null 2>&1";
    double total = -1;
    // NOLINTNEXTLINE(cert-env33-c): valgrind on this program, with a temporary file's name
    if (std::system(cmd.c_str()) == 0) {
        FILE *f = std::fopen(out, "r");
        char line[256];
        while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
            if (std::strncmp(line, "totals:", 7) == 0)
                total = std::atof(line + 7); // NOLINT(cert-err34-c): callgrind's count
        if (f != nullptr)
            (void)std::fclose(f);
    }
    (void)std::remove(out);
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "count") == 0) {
        // NOLINTNEXTLINE(cert-err34-c): the piece size that instructions() passes
        run(first_table_stream(argv[2]), size_t(std::atol(argv[3])));
        return 0;
    }
    // NOLINTNEXTLINE(cert-err34-c): a size in MiB from the one who runs the benchmark
    size_t largest = size_t(argc > 1 ? std::atoi(argv[1]) : 64) << 20;
    // NOLINTNEXTLINE(cert-env33-c): a fixed command, to learn whether valgrind is there
    bool callgrind = std::system("valgrind --version >/dev/null 2>&1") == 0;

    std::printf("Each piece fed is followed by taking the frames out; put: one sci_stream_put a "
                "byte,\nthe frames taken out when it returns 1\n\n");
    std::printf("| stream | bytes | piece | frames out | ns per byte | instructions per byte |\n");
    std::printf("|---|---:|---|---:|---:|---:|\n");
    for (const char *kind : {"frames", "noise", "baud"}) {
        Bytes s = first_table_stream(kind);
        for (size_t piece : {size_t(1), size_t(0), size_t(16), size_t(65536)}) {
            if (piece == 0 && sci_stream_put == nullptr)
                continue;
            uint64_t frames;
            double t = best_of_three(s, piece, frames);
            double ir = callgrind ? instructions(argv[0], kind, piece) : -1;
            std::printf("| %s | %zu | %s | %llu | %.2f | ", kind, s.size(),
                        piece == 0 ? "1, put" : std::to_string(piece).c_str(),
                        (unsigned long long)frames, t * 1e9 / double(s.size()));
            if (ir < 0)
                std::printf("(no valgrind) |\n");
            else
                std::printf("%.1f |\n", ir / double(s.size()));
        }
    }
    if (largest == 0)
        return 0;

    std::printf("\n| stream | piece | MiB | frames out | s | MB/s | ns per byte |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const char *kind : {"frames", "headers", "sync"})
        for (size_t piece : {size_t(65536), size_t(1)})
            for (size_t size = largest / 4; size <= largest; size *= 2) {
                // A byte at a time is slow enough to show at a quarter of it.
                size_t bytes = piece == 1 ? size / 4 : size;
                Bytes k = make(kind, bytes);
                uint64_t frames;
                double best = best_of_three(k, piece, frames);
                std::printf("| %s | %zu | %.0f | %llu | %.3f | %.0f | %.2f |\n", kind, piece,
                            double(bytes) / 1048576, (unsigned long long)frames, best,
                            double(bytes) / best / 1e6, best * 1e9 / double(bytes));
            }
    return 0;
}
