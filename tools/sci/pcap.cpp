// SPDX-License-Identifier: MIT
/* Capture files: every complete frame, good or bad, as one record of a
 * classic pcap file of link type USER0 (147), which the Wireshark dissector
 * in tools/wireshark reads. The format needs no library: a 24-byte file
 * header, then a 16-byte header before each record's bytes, all in this
 * machine's byte order (the magic number tells a reader which). Replay reads
 * such files back, in either byte order. */
#include "pcap.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define PCAP_MAGIC_USEC 0xA1B2C3D4u
#define PCAP_MAGIC_NSEC 0xA1B23C4Du
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

/* The capture replay reads, through a window of g_in_buf. */
static struct {
    int fd;
    const char *name;
    size_t at;
    size_t fill;
    bool swapped;
    bool nsec;
    uint64_t records;
} g_in = {-1, "", 0, 0, false, false, 0};
static uint8_t g_in_buf[2 * 65536];

static uint32_t get32(const uint8_t *p)
{
    uint32_t v;

    memcpy(&v, p, sizeof v);
    if (g_in.swapped)
        v = v >> 24 | (v >> 8 & 0xFF00u) | (v << 8 & 0xFF0000u) | v << 24;
    return v;
}

/* Makes `n` bytes ready at g_in.at, reading more as needed. Returns 1 when
 * they are, 0 at the end of the file, -1 on a failed read, said. */
static int pcap_need(size_t n)
{
    ssize_t got;

    if (g_in.fill - g_in.at >= n)
        return 1;
    memmove(g_in_buf, g_in_buf + g_in.at, g_in.fill - g_in.at);
    g_in.fill -= g_in.at;
    g_in.at = 0;
    while (g_in.fill < n) {
        got = read(g_in.fd, g_in_buf + g_in.fill, sizeof g_in_buf - g_in.fill);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fail_io("read", g_in.name);
            return -1;
        }
        if (got == 0)
            return 0;
        g_in.fill += (size_t)got;
    }
    return 1;
}

int pcap_read_open(const char *name)
{
    uint32_t magic;
    int ready;

    g_in.fd = open(name, O_RDONLY | O_CLOEXEC);
    if (g_in.fd < 0)
        return fail("cannot open %s: %s", name, strerror(errno));
    g_in.name = name;
    if ((ready = pcap_need(24)) <= 0)
        return ready < 0 ? EXIT_IO : fail("%s: too short for a capture", name);
    memcpy(&magic, g_in_buf, sizeof magic);
    g_in.swapped = magic == 0xD4C3B2A1u || magic == 0x4D3CB2A1u;
    magic = get32(g_in_buf);
    if (magic != PCAP_MAGIC_USEC && magic != PCAP_MAGIC_NSEC)
        return fail("%s: not a classic pcap file", name);
    g_in.nsec = magic == PCAP_MAGIC_NSEC;
    if (get32(g_in_buf + 20) != LINKTYPE_USER0)
        return fail("%s: link type %u, not USER0 (147)", name, get32(g_in_buf + 20));
    g_in.at = 24;
    return GO_ON;
}

int pcap_read_next(struct pcap_entry *e)
{
    const uint8_t *r;
    int ready = pcap_need(RECORD_HEADER);

    if (ready < 0)
        return EXIT_IO;
    if (ready == 0 && g_in.fill == g_in.at)
        return EXIT_DONE;
    if (ready == 0)
        return fail("%s: record %llu cut short", g_in.name, (unsigned long long)g_in.records + 1);
    r = g_in_buf + g_in.at;
    e->usec = (uint64_t)get32(r) * 1000000u + get32(r + 4) / (g_in.nsec ? 1000u : 1u);
    e->size = get32(r + 8);
    if (e->size > PCAP_SNAPLEN)
        return fail("%s: record %llu holds %u bytes, more than %u", g_in.name,
                    (unsigned long long)g_in.records + 1, e->size, PCAP_SNAPLEN);
    if ((ready = pcap_need(RECORD_HEADER + (size_t)e->size)) <= 0)
        return ready < 0 ? EXIT_IO
                         : fail("%s: record %llu cut short", g_in.name,
                                (unsigned long long)g_in.records + 1);
    e->bytes = g_in_buf + g_in.at + RECORD_HEADER;
    g_in.at += RECORD_HEADER + (size_t)e->size;
    g_in.records++;
    return GO_ON;
}

void pcap_read_close(void)
{
    if (g_in.fd >= 0)
        close(g_in.fd);
    g_in.fd = -1;
}
