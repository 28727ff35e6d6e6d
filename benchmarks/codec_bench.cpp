// SPDX-License-Identifier: MIT
/*
 * Time to pack and to unpack one SCI frame, per version and payload length,
 * beside a memcpy of as many bytes as the frame holds. Packing is timed with
 * the payload in a buffer of its own (pack_frame) and built in place, at its
 * offset in the frame (pack_in_place_frame). Each codec case
 * reports its frame length as the counter "frame_bytes"; copy_frame/N is the
 * baseline for frames of N bytes. Version 1 carries at most 252 payload bytes,
 * so its longest case is 252 where version 2's is 255.
 */
#include <benchmark/benchmark.h>

#include <set>
#include <string.h>

#include "bench_frames.h"

namespace
{

const int64_t v1_payloads[] = {0, 16, 64, SCI_V1_MAX_PAYLOAD};
const int64_t v2_payloads[] = {0, 16, 64, SCI_V2_MAX_PAYLOAD};

void pack_frame(benchmark::State &state, uint8_t version)
{
    uint8_t payload[SCI_V2_MAX_PAYLOAD];
    uint8_t buf[BENCH_FRAME_MAX];
    uint16_t len = (uint16_t)state.range(0);
    sci_pack_t pack;
    int16_t length;

    bench_fill_payload(payload, len);
    pack.version = version;
    pack.addr = BENCH_ADDR;
    pack.cmd = BENCH_CMD;
    pack.len = len;
    pack.data = payload;
    length = cu_korvi_sci_pack(&pack, buf, sizeof buf);
    if (length != len + (version == 1 ? 9 : 8)) {
        state.SkipWithError("the packer refused the record");
        return;
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop
        benchmark::DoNotOptimize(cu_korvi_sci_pack(&pack, buf, sizeof buf));
        benchmark::ClobberMemory();
    }
    state.counters["frame_bytes"] = length;
    state.SetBytesProcessed(state.iterations() * length);
}

void pack_in_place_frame(benchmark::State &state, uint8_t version)
{
    uint8_t buf[BENCH_FRAME_MAX];
    uint16_t len = (uint16_t)state.range(0);
    uint16_t at = version == 1 ? 7 : 6;
    sci_pack_t pack;
    int16_t length;

    bench_fill_payload(buf + at, len);
    pack.version = version;
    pack.addr = BENCH_ADDR;
    pack.cmd = BENCH_CMD;
    pack.len = len;
    pack.data = buf + at;
    length = cu_korvi_sci_pack(&pack, buf, sizeof buf);
    if (length != len + at + 2) {
        state.SkipWithError("the packer refused the record");
        return;
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop
        benchmark::DoNotOptimize(cu_korvi_sci_pack(&pack, buf, sizeof buf));
        benchmark::ClobberMemory();
    }
    state.counters["frame_bytes"] = length;
    state.SetBytesProcessed(state.iterations() * length);
}

void unpack_frame(benchmark::State &state, uint8_t version)
{
    uint8_t payload[SCI_V2_MAX_PAYLOAD];
    uint8_t out[SCI_V2_MAX_PAYLOAD];
    uint8_t buf[BENCH_FRAME_MAX];
    uint16_t len = (uint16_t)state.range(0);
    sci_pack_t pack;
    int length;

    bench_fill_payload(payload, len);
    length = bench_received_frame(version, payload, len, buf);
    pack.data = out;
    if (length < 0 ||
        cu_korvi_sci_unpack(BENCH_ADDR, BENCH_CMD, &pack, buf, (uint16_t)length) != SCI_OK ||
        pack.len != len || memcmp(out, payload, len) != 0) {
        state.SkipWithError("the unpacker refused the frame");
        return;
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop
        benchmark::DoNotOptimize(
            cu_korvi_sci_unpack(BENCH_ADDR, BENCH_CMD, &pack, buf, (uint16_t)length));
        benchmark::ClobberMemory();
    }
    state.counters["frame_bytes"] = length;
    state.SetBytesProcessed(state.iterations() * length);
}

/* The length is known only at run time, as in the codec, so this is a call
 * into libc's memcpy and not an inlined copy. */
void copy_frame(benchmark::State &state)
{
    uint8_t src[BENCH_FRAME_MAX];
    uint8_t dst[BENCH_FRAME_MAX];
    size_t n = (size_t)state.range(0);

    bench_fill_payload(src, sizeof src);
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop
        memcpy(dst, src, n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void v1_cases(benchmark::internal::Benchmark *b)
{
    for (int64_t len : v1_payloads)
        b->Arg(len);
}

void v2_cases(benchmark::internal::Benchmark *b)
{
    for (int64_t len : v2_payloads)
        b->Arg(len);
}

/* Every frame length that a codec case above produces: the packer's version-1
 * frame takes 9 bytes around the payload, every other frame 8. */
void frame_lengths(benchmark::internal::Benchmark *b)
{
    std::set<int64_t> lengths;

    for (int64_t len : v1_payloads) {
        lengths.insert(len + 8);
        lengths.insert(len + 9);
    }
    for (int64_t len : v2_payloads)
        lengths.insert(len + 8);
    for (int64_t n : lengths)
        b->Arg(n);
}

} // namespace

BENCHMARK_CAPTURE(pack_frame, v1, 1)->Apply(v1_cases);
BENCHMARK_CAPTURE(pack_frame, v2, 2)->Apply(v2_cases);
BENCHMARK_CAPTURE(pack_in_place_frame, v1, 1)->Apply(v1_cases);
BENCHMARK_CAPTURE(pack_in_place_frame, v2, 2)->Apply(v2_cases);
BENCHMARK_CAPTURE(unpack_frame, v1, 1)->Apply(v1_cases);
BENCHMARK_CAPTURE(unpack_frame, v2, 2)->Apply(v2_cases);
BENCHMARK(copy_frame)->Apply(frame_lengths);
