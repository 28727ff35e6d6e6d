/* SPDX-License-Identifier: MIT */
/* The sci tool's arguments: options, numbers, hex operands and the frame
 * they pack into. */
#ifndef SCI_ARGS_H
#define SCI_ARGS_H

#include "output.h"

#define NO_VALUE (-1L)

/* The options of all modes; NO_VALUE when not given. */
struct options {
    long version;      /* -V */
    long addr;         /* -a */
    long cmd;          /* -c */
    long baud;         /* -b */
    long gap;          /* -t */
    long reply;        /* -r */
    long reply_addr;   /* -A */
    long reply_cmd;    /* -C */
    const char *pcap;  /* --pcap, or NULL */
    const char *table; /* --table, or NULL */
    const char *speed; /* --speed, or NULL */
};

/* Reads the options named in `allowed` (P: --pcap FILE, T: --table FILE, S:
 * --speed X) and checks that those in `needed` were given, or prints `help`
 * for --help. Options may come before, between or after the operands, up to
 * "--"; each option and its value is cleared from argv, so that only operands
 * remain. Returns GO_ON or the exit status. */
int parse_options(int argc, char **argv, const char *allowed, const char *needed, const char *help,
                  struct options *opt);

/* Decimal, or hex after 0x; -1 when malformed or above max. */
long parse_number(const char *text, long max);

/* Hex text to bytes, fed a character at a time so that it serves arguments,
 * standard input and files alike. On a mistake `why` says what it is. */
struct hex_reader {
    uint8_t *bytes;
    size_t room;
    size_t count;
    int high; /* first digit of a byte in progress, or -1 */
    char why[48];
};

/* Feeds one word of hex, which must hold whole bytes. Returns 0, or -1 with
 * h->why said. */
int hex_feed_word(struct hex_reader *h, const char *text);

/* The first operand left in argv, DEVICE (or the capture for replay). Returns
 * GO_ON or the exit status; *next is the index after it. */
int first_operand(int argc, char **argv, const char *what, const char **name, int *next);
/* The one operand left in argv, DEVICE: first_operand, refusing a second.
 * Returns GO_ON or the exit status. */
int only_operand(int argc, char **argv, const char *what, const char **name);

/* Packs the frame of -V, -a and -c with the payload in the hex operands from
 * index `first` on into `frame` (FRAME_MAX bytes); *n gets its length.
 * Returns GO_ON or the exit status. */
int pack_operands(int argc, char **argv, int first, const struct options *opt, uint8_t *frame,
                  int16_t *n);

/* Reads hex from the operands left in argv from index `first` on, or from
 * standard input when there are none and `from_stdin` is set. Returns 0 or
 * the exit status. */
int read_hex(int argc, char **argv, int first, struct hex_reader *h, bool from_stdin);

#endif
