/* SPDX-License-Identifier: MIT */
/* The serial line the live modes use: the rates, opening it, its settings
 * and their restoring, the stop signals and the stop state, reading, writing
 * and the frames received on it. */
#ifndef SCI_LINE_H
#define SCI_LINE_H

#include "output.h"

#include <signal.h>
#include <sys/types.h>

/* The signal that asked the tool to stop, or 0. */
int line_stop_signal(void);
/* Whether SIGUSR1 came since the last call (only after catch_signals(true)). */
bool line_reload_asked(void);

/* Catches the stop signals, and SIGUSR1 when `reload`; blocks them but while
 * the tool waits or writes. */
void catch_signals(bool reload);
/* Opens DEVICE, a terminal, for the rate -b asked, and keeps its settings;
 * changes nothing yet. Returns GO_ON or the exit status. */
int open_line(const char *name, long baud);
/* The open line's descriptor. */
int line_fd(void);
/* Sets the line raw, 8N1, at the rate -b asked. Returns GO_ON or the exit
 * status. */
int set_line_raw(long baud);
/* open_line, then set_line_raw; on a failure the line is put back and closed.
 * Returns GO_ON or the exit status. */
int open_line_raw(const char *name, long baud);
/* Drops what the line received and nobody read yet. */
void line_drop_input(void);
/* Puts the line's settings back and closes it. */
void restore_line(void);
/* After restore_line: when a stop signal ended the mode, ends the tool as
 * that signal ends a program. */
void end_by_stop_signal(void);

/* Waits up to `wait_ms` (-1: for ever) for bytes on the line and reads at
 * most `room` of them into `bytes`. Returns how many came (0: none in time,
 * or a signal), or -1 when the line went away, with the line said. */
ssize_t read_line(uint8_t *bytes, size_t room, int wait_ms);
/* Writes all of `n` bytes, however the line takes them, then waits until
 * they have left; a stop signal ends either wait. Returns GO_ON or the exit
 * status. */
int write_line(const uint8_t *bytes, size_t n);
/* Waits `ms`, or less when a stop signal comes; returns false on one. */
bool line_pause(long ms);
/* Waits until the monotonic clock reads `us` microseconds; returns false
 * when a stop signal came first. */
bool line_pause_until(uint64_t us);

/* The default gap for a rate: 20 characters, 50 ms at least. */
uint32_t default_gap(long baud);
/* The time of the monotonic clock, in milliseconds and microseconds. */
uint64_t monotonic_ms(void);
uint64_t monotonic_us(void);
/* The wall clock's time less the monotonic one, in milliseconds. */
int64_t wall_minus_monotonic_ms(void);
/* Where the rates fit in a help text: `text` has "%ld to %ld: one of\n%s" in
 * the place, with the lowest rate, the highest and the list. Returns the
 * help, in a buffer of its own. */
const char *rates_help(const char *text);

/* Writes a frame's line, after the time its last byte came, into `line`
 * (FRAME_LINE_MAX bytes), without its line feed, and returns the length. */
size_t format_line_frame(char *line, const sci_stream_frame_t *f, int64_t wall_minus_monotonic);
/* Prints `n` bytes of `text` on standard output at once, and the frame as a
 * record when `record` is set; with the stop signals let through while they
 * wait. Returns GO_ON or the exit status. */
int show_text(const char *text, size_t n, const sci_stream_frame_t *record,
              int64_t wall_minus_monotonic);
/* Prints the frame's line, and records it in the capture when `record`. */
int show_frame(const sci_stream_frame_t *f, int64_t wall_minus_monotonic, bool record);
/* Writes text to standard error at once, with the caught signals let
 * through while it waits. */
void show_counts(const char *text);

#endif
