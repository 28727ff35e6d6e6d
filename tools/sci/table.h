/* SPDX-License-Identifier: MIT */
/* The rules sci serve answers by: one a line, "VERSION ADDR CMD ACTION...",
 * each field a number or *, '#' starting a comment. */
#ifndef SCI_TABLE_H
#define SCI_TABLE_H

#include "frames.h"

#define TABLE_RULES 256
#define ANY (-1L)

enum action { ACTION_REPLY, ACTION_ECHO, ACTION_IGNORE, ACTION_EXIT };

struct rule {
    long version; /* 1, 2 or ANY */
    long addr;    /* 0-255 or ANY */
    long cmd;     /* 0-0xFFFF or ANY */
    enum action action;
    long delay_ms;
    struct fault fault;
    long reply_addr; /* the request's when ANY */
    long reply_cmd;  /* the request's when ANY */
    long status;     /* exit */
    uint16_t len;
    uint8_t payload[SCI_V2_MAX_PAYLOAD];
};

struct table {
    size_t count;
    struct rule rules[TABLE_RULES];
};

/* Reads the rules of FILE into `t`. Returns true, or false with `why`
 * (`room` bytes) saying "FILE:LINE: what is wrong" (or "FILE: ..."); `t` is
 * then partly filled. */
bool table_load(const char *name, struct table *t, char *why, size_t room);
/* The first rule for a frame, or NULL. */
const struct rule *table_match(const struct table *t, const sci_stream_frame_t *f);

#endif
