/* SPDX-License-Identifier: MIT */
// Helpers shared by the codec's fuzz targets: property checks that end the
// run, exactly sized heap copies (so that AddressSanitizer reports any access
// past the end), and a receiving record primed with sentinels.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include "frame_reference.h"
#include "sci_codec.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace fuzz
{

constexpr uint8_t kSentinel = 0xEE;
constexpr size_t kPayloadRoom = 255; // what a caller must provide for unpacking
constexpr size_t kGuard = 32;

using Buffer = std::unique_ptr<uint8_t[]>;

// A failed property aborts, which libFuzzer reports as a finding and saves.
inline void require(bool ok, const char *what)
{
    if (!ok) {
        (void)std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// A heap block of exactly n bytes (n may be 0: a valid pointer to nothing).
inline Buffer exact_copy(const uint8_t *from, size_t n)
{
    Buffer b(new uint8_t[n]);
    if (n != 0)
        std::memcpy(b.get(), from, n);
    return b;
}

// Every byte in [from, to) is the sentinel: the first one is, and each equals
// the next (one memcmp, fast enough for 64 KiB buffers on every run).
inline bool all_sentinel(const uint8_t *p, size_t from, size_t to)
{
    if (from >= to)
        return true;
    return p[from] == kSentinel && std::memcmp(p + from, p + from + 1, to - from - 1) == 0;
}

// A record for unpacking whose header fields and payload buffer (255 bytes
// plus guard bytes) hold sentinels, so that every write shows.
struct Receiver {
    Buffer payload{new uint8_t[kPayloadRoom + kGuard]};
    sci_pack_t rec;

    Receiver()
    {
        std::memset(payload.get(), kSentinel, kPayloadRoom + kGuard);
        rec.version = kSentinel;
        rec.addr = kSentinel;
        rec.cmd = 0xEEEE;
        rec.len = 0xEEEE;
        rec.data = payload.get();
    }
    // Nothing written from `from` up to the end of the guard.
    bool untouched_from(size_t from) const
    {
        return all_sentinel(payload.get(), from, kPayloadRoom + kGuard);
    }
};

} // namespace fuzz

#endif
