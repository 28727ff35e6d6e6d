/* SPDX-License-Identifier: MIT */
// SCI frames put together byte by byte, independently of the codec, so that
// tests and fuzz targets can build, corrupt and compare frames of their own.
#ifndef FRAME_REFERENCE_H
#define FRAME_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

// The 16-bit additive checksum of n bytes.
inline uint16_t reference_checksum(const uint8_t *p, size_t n)
{
    unsigned sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += p[i];
    return static_cast<uint16_t>(sum);
}

// The frame with its checksum appended: the sum of every byte from the address
// on, low byte first.
inline std::vector<uint8_t> with_checksum(std::vector<uint8_t> frame)
{
    uint16_t sum = reference_checksum(frame.data() + 2, frame.size() - 2);
    frame.push_back(static_cast<uint8_t>(sum));
    frame.push_back(static_cast<uint8_t>(sum >> 8));
    return frame;
}

// The frame the packer builds: version 1 with its zero byte before the
// command, counted in the length byte.
inline std::vector<uint8_t> reference_frame(uint8_t version, uint8_t addr, uint16_t cmd,
                                            const uint8_t *payload, size_t len)
{
    std::vector<uint8_t> f{0x55, static_cast<uint8_t>(version == 1 ? 0xAA : 0xBB), addr,
                           static_cast<uint8_t>(version == 1 ? len + 3 : len)};
    if (version == 1)
        f.push_back(0x00);
    f.push_back(static_cast<uint8_t>(cmd >> 8));
    f.push_back(static_cast<uint8_t>(cmd));
    f.insert(f.end(), payload, payload + len);
    return with_checksum(f);
}

// The same with the payload as a vector: the frame a version-2 sender puts
// on the line.
inline std::vector<uint8_t> v2_frame(uint8_t addr, uint16_t cmd,
                                     const std::vector<uint8_t> &payload)
{
    return reference_frame(2, addr, cmd, payload.data(), payload.size());
}

// A version-1 frame as a sender puts it on the line and the codec's unpacker
// reads it: no zero byte, the command counted in the length byte.
inline std::vector<uint8_t> v1_frame(uint8_t addr, uint16_t cmd,
                                     const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> f{0x55,
                           0xAA,
                           addr,
                           static_cast<uint8_t>(payload.size() + 2),
                           static_cast<uint8_t>(cmd >> 8),
                           static_cast<uint8_t>(cmd)};
    f.insert(f.end(), payload.begin(), payload.end());
    return with_checksum(f);
}

#endif
