// SPDX-License-Identifier: MIT
/* Capture files: every complete frame, good or bad, as one record of a
 * classic pcap file of link type USER0 (147), which the Wireshark dissector
 * in tools/wireshark reads. The format needs no library: a 24-byte file
 * header, then a 16-byte header before each record's bytes, all in this
 * machine's byte order (the magic number tells a reader which). */
#include "sci.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define PCAP_MAGIC_USEC 0xA1B2C3D4u
#define PCAP_SNAPLEN 65535u
#define LINKTYPE_USER0 147u
#define RECORD_HEADER 16

/* Records wait in g_pcap_buf until pcap_flush writes them: scan flushes when
 * it waits for input, monitor after every record. The buffer is zero at
 * start, so that it takes no room in the program file. */
static struct {
    int fd;
    const char *name;
    size_t fill;
} g_pcap = {-1, "", 0};
static uint8_t g_pcap_buf[65536];

static void put32(uint8_t *p, uint32_t v)
{
    memcpy(p, &v, sizeof v);
}

static void put16(uint8_t *p, uint16_t v)
{
    memcpy(p, &v, sizeof v);
}

int pcap_flush(void)
{
    int put = write_all(g_pcap.fd, g_pcap_buf, g_pcap.fill);

    /* Said once, the run ends; given up, the tool is stopping. */
    g_pcap.fill = 0;
    if (put < 0)
        return fail_io("write", g_pcap.name);
    return GO_ON;
}

int pcap_open(const char *name, int input)
{
    uint8_t *h = g_pcap_buf;
    struct stat in, out;
    int status = GO_ON;

    /* Truncated only once it is known not to be the input. */
    g_pcap.fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (g_pcap.fd < 0)
        return fail("cannot open %s: %s", name, strerror(errno));
    if (fstat(g_pcap.fd, &out) != 0)
        // NOLINTNEXTLINE(bugprone-branch-clone): fstat's failure; the last branch says ftruncate's
        status = fail("cannot open %s: %s", name, strerror(errno));
    else if (input >= 0 && fstat(input, &in) == 0 && in.st_dev == out.st_dev &&
             in.st_ino == out.st_ino)
        status = fail("cannot write %s: it is the input", name);
    else if (S_ISREG(out.st_mode) && ftruncate(g_pcap.fd, 0) != 0)
        status = fail("cannot open %s: %s", name, strerror(errno));
    if (status != GO_ON) {
        close(g_pcap.fd);
        g_pcap.fd = -1;
        return status;
    }
    g_pcap.name = name;
    put32(h, PCAP_MAGIC_USEC);
    put16(h + 4, 2); /* version 2.4 */
    put16(h + 6, 4);
    put32(h + 8, 0); /* times in UTC */
    put32(h + 12, 0);
    put32(h + 16, PCAP_SNAPLEN);
    put32(h + 20, LINKTYPE_USER0);
    g_pcap.fill = 24;
    return pcap_flush();
}

int pcap_record(const sci_stream_frame_t *f, uint64_t usec)
{
    uint8_t *r;

    if (f->result == SCI_STREAM_PARTIAL)
        return GO_ON;
    if (sizeof g_pcap_buf - g_pcap.fill < RECORD_HEADER + (size_t)f->size && pcap_flush() != GO_ON)
        return EXIT_IO;
    r = g_pcap_buf + g_pcap.fill;
    put32(r, (uint32_t)(usec / 1000000u));
    put32(r + 4, (uint32_t)(usec % 1000000u));
    put32(r + 8, f->size);
    put32(r + 12, f->size);
    memcpy(r + RECORD_HEADER, f->bytes, f->size);
    g_pcap.fill += RECORD_HEADER + (size_t)f->size;
    return GO_ON;
}

int pcap_close(void)
{
    int status = pcap_flush();

    if (close(g_pcap.fd) != 0 && status == GO_ON)
        status = fail_io("write", g_pcap.name);
    g_pcap.fd = -1;
    return status;
}
