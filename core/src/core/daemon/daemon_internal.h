/* SPDX-License-Identifier: MIT */
/* The supervisor's table and routines, for the supervisor itself and its
 * tests. */
#ifndef DAEMON_INTERNAL_H
#define DAEMON_INTERNAL_H

#include <stdint.h>
#include <sys/types.h>

#define MAX_PROC 64
#define PROC_PATH_SIZE 128
#define SLOT_PAUSE_US 300000u
#define PASS_PAUSE_S 5u

/* clang-tidy 14 takes these declarations for definitions that might be
 * initialised at run time; the definitions, in daemon.cpp, are zero-initialised. */
/* NOLINTBEGIN(bugprone-dynamic-static-initializers) */
extern char g_proc_array[MAX_PROC][PROC_PATH_SIZE];
extern pid_t g_proc_pid_array[MAX_PROC];
extern uint8_t g_num_proc;
/* NOLINTEND(bugprone-dynamic-static-initializers) */

void close_standard_io(void);
void fork_sub_process(const char *proc_file, int i);
void trim_string(char *string, uint16_t len);
void ready_for_sub_process(const char *path);
/* One pass over the table, pausing pause_us after each slot. */
void check_proc_pass(unsigned pause_us);
[[noreturn]] void check_proc_status(void);

#endif /* DAEMON_INTERNAL_H */
