/* SPDX-License-Identifier: MIT */
#ifndef DAEMON_H
#define DAEMON_H

/* Starts every program named in the list files, then supervises them for
 * ever. Never returns. */
int app_daemon(void);

#endif /* DAEMON_H */
