/* SPDX-License-Identifier: MIT */
/* Prints the sizes and field offsets of the libraries' public structs as this
 * target's compiler lays them out, one "NAME VALUE" line each, for the Python
 * package's test to compare with its ctypes mirrors. */
#include <stddef.h>
#include <stdio.h>

#include <sci_stream.h>

#define SIZE(type) printf(#type " %zu\n", sizeof(type))
#define FIELD(type, field) printf(#type "." #field " %zu\n", offsetof(type, field))

int main(void)
{
    SIZE(sci_pack_t);
    FIELD(sci_pack_t, version);
    FIELD(sci_pack_t, addr);
    FIELD(sci_pack_t, cmd);
    FIELD(sci_pack_t, len);
    FIELD(sci_pack_t, data);
    SIZE(sci_stream_counters_t);
    FIELD(sci_stream_counters_t, good);
    FIELD(sci_stream_counters_t, bad);
    FIELD(sci_stream_counters_t, skipped);
    FIELD(sci_stream_counters_t, dropped);
    SIZE(sci_stream_t);
    FIELD(sci_stream_t, counters);
    SIZE(sci_stream_frame_t);
    FIELD(sci_stream_frame_t, offset);
    FIELD(sci_stream_frame_t, time_ms);
    FIELD(sci_stream_frame_t, bytes);
    FIELD(sci_stream_frame_t, payload);
    FIELD(sci_stream_frame_t, size);
    FIELD(sci_stream_frame_t, total);
    FIELD(sci_stream_frame_t, result);
    FIELD(sci_stream_frame_t, version);
    FIELD(sci_stream_frame_t, addr);
    FIELD(sci_stream_frame_t, cmd);
    FIELD(sci_stream_frame_t, len);
    return 0;
}
