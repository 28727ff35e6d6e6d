/* SPDX-License-Identifier: MIT */
/* The sci tool's modes, one file each, which the entry dispatches to. Each
 * takes main's arguments (argv[1] is the mode) and returns the exit status. */
#ifndef SCI_MODES_H
#define SCI_MODES_H

int run_pack(int argc, char **argv);
int run_unpack(int argc, char **argv);
int run_scan(int argc, char **argv);
int run_monitor(int argc, char **argv);
int run_send(int argc, char **argv);
int run_serve(int argc, char **argv);
int run_replay(int argc, char **argv);

#endif
