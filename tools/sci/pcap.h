/* SPDX-License-Identifier: MIT */
/* Capture files: classic pcap files of link type USER0 (147), written and
 * read. */
#ifndef SCI_PCAP_H
#define SCI_PCAP_H

#include "output.h"

/* Writing: pcap_open creates FILE with its file header, unless it is the file
 * open as `input` (a descriptor, or -1); pcap_record adds a complete frame
 * (partial ones are left out) stamped `usec` microseconds after 1970; records
 * wait in a buffer until pcap_flush writes them; pcap_close flushes and
 * closes. Each returns GO_ON or the exit status, with the failure said. */
int pcap_open(const char *name, int input);
int pcap_record(const sci_stream_frame_t *f, uint64_t usec);
int pcap_flush(void);
int pcap_close(void);

/* A record read back: its time in microseconds and its bytes. */
struct pcap_entry {
    uint64_t usec;
    const uint8_t *bytes;
    uint32_t size;
};

/* Reading: pcap_read_open opens FILE and checks its header (either byte
 * order, microsecond or nanosecond times, link type USER0); pcap_read_next
 * gives the next record, valid until the next call. Each returns GO_ON, or
 * the exit status with the failure said; pcap_read_next returns EXIT_DONE at
 * the end of the file. */
int pcap_read_open(const char *name);
int pcap_read_next(struct pcap_entry *e);
void pcap_read_close(void);

#endif
