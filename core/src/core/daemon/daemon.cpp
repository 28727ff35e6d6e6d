// SPDX-License-Identifier: MIT
/* Process supervisor: starts the programs named in three list files and
 * starts again any whose process has gone. One thread, no heap of its own,
 * a fixed table of 64 slots. */
#include "daemon.h"
#include "daemon_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The platform SDK's logging entry, provided by lib_sdk on the device. */
extern "C" int sdk_print(int level, int flag, const char *file, const char *function, int line,
                         const char *format, ...) __attribute__((format(printf, 6, 7)));

#define LOG_INFO 1
#define LOG_FAULT 2

/* The name this file is logged under; __FILE__ may carry a build path. */
#define LOG_FILE "daemon.cpp"

#define LOG_IN(function, level, ...) sdk_print(level, 1, LOG_FILE, function, __LINE__, __VA_ARGS__)
#define LOG(level, ...) LOG_IN(__func__, level, __VA_ARGS__)

char g_proc_array[MAX_PROC][PROC_PATH_SIZE];
pid_t g_proc_pid_array[MAX_PROC];
uint8_t g_num_proc;

static const char *const list_files[] = {
    "/opt/conf/daemon.conf",
    "/app/conf/start_config",
    "/user/conf/daemon.conf",
};

void close_standard_io(void)
{
    int fd = open("/dev/null", O_RDWR);

    if (fd < 0)
        return;
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    /* Started with a standard stream closed, the open lands on 0, 1 or 2:
     * that descriptor is now a standard stream and stays. */
    if (fd > 2)
        close(fd);
}

/* Closes every descriptor from `lowest` up: a started program gets only its
 * standard streams, whatever the supervisor inherited. close_range (Linux 5.9)
 * does it in one call; an older kernel answers ENOSYS, and then each
 * descriptor up to the process's limit is closed in turn. */
static void close_from(int lowest)
{
    long max;

#ifdef SYS_close_range
    if (syscall(SYS_close_range, (unsigned)lowest, ~0u, 0u) == 0)
        return;
#endif
    max = sysconf(_SC_OPEN_MAX);
    if (max < 0)
        max = 1024;
    for (long fd = lowest; fd < max; fd++)
        close((int)fd);
}

void fork_sub_process(const char *proc_file, int i)
{
    char *const argv[] = {NULL};
    pid_t pid = fork();

    if (pid > 0) {
        g_proc_pid_array[i] = pid;
        return;
    }
    if (pid < 0)
        return;
    close_standard_io();
    close_from(3);
    execv(proc_file, argv);
    /* Not exit(): no handlers, no second flush of stdio buffers that are
     * the supervisor's. */
    _exit(127);
}

void trim_string(char *string, uint16_t len)
{
    for (uint16_t i = 0; i < len && string[i] != '\0'; i++) {
        if (string[i] == ' ' || string[i] == '\t' || string[i] == '\n') {
            string[i] = '\0';
            return;
        }
    }
}

/* Opens a list file for reading, or returns NULL with errno set. Read-only,
 * so that a list on a read-only filesystem is read; close-on-exec, so that no
 * started program inherits it; and without waiting, so that a FIFO with no
 * writer cannot hold up start-up. Only a regular file is read: a directory
 * gives EISDIR, and a FIFO, socket or device, which might never end, EINVAL. */
static FILE *open_list(const char *path)
{
    struct stat st;
    FILE *fp;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int err;

    if (fd < 0)
        return NULL;
    if (fstat(fd, &st) != 0)
        err = errno; // NOLINT(bugprone-branch-clone): fstat's error; the last branch keeps fdopen's
    else if (!S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    else if ((fp = fdopen(fd, "r")) != NULL)
        return fp;
    else
        err = errno;
    close(fd);
    errno = err;
    return NULL;
}

void ready_for_sub_process(const char *path)
{
    char line[PROC_PATH_SIZE];
    FILE *fp;

    if (access(path, F_OK) != 0) {
        LOG(LOG_FAULT, "daemon file %s not exists\n", path);
        return;
    }
    fp = open_list(path);
    if (fp == NULL) {
        LOG(LOG_FAULT, "%s \n", strerror(errno));
        return;
    }
    while (fgets(line, sizeof line, fp) != NULL) {
        trim_string(line, sizeof line);
        LOG(LOG_INFO, "file name : %s\n", line);
        if (access(line, F_OK) != 0) {
            LOG(LOG_FAULT, "process file %s not exists \n", line);
            continue;
        }
        if (g_num_proc >= MAX_PROC) {
            LOG(LOG_FAULT, "process num support max 64 \n");
            break;
        }
        memcpy(g_proc_array[g_num_proc], line, sizeof line);
        fork_sub_process(g_proc_array[g_num_proc], g_num_proc);
        LOG(LOG_INFO, "start - pid=%d, %s \n", g_proc_pid_array[g_num_proc],
            g_proc_array[g_num_proc]);
        g_num_proc++;
    }
    /* Read only: a failed close loses nothing. */
    (void)fclose(fp);
}

/* A slot runs while its process exists. A slot whose first start failed has
 * no process yet; probing id 0 would ask about our own process group. A
 * process of another user answers EPERM: it exists. */
static bool proc_running(pid_t pid)
{
    if (pid <= 0)
        return false;
    return kill(pid, 0) == 0 || errno != ESRCH;
}

void check_proc_pass(unsigned pause_us)
{
    for (int i = 0; i < g_num_proc; i++) {
        if (!proc_running(g_proc_pid_array[i])) {
            /* Reported as the supervision loop, whose pass this is. */
            LOG_IN("check_proc_status", LOG_FAULT, "proc [%s] is not running,now bring it up...\n",
                   g_proc_array[i]);
            fork_sub_process(g_proc_array[i], i);
        }
        usleep(pause_us);
    }
}

void check_proc_status(void)
{
    for (;;) {
        check_proc_pass(SLOT_PAUSE_US);
        sleep(PASS_PAUSE_S);
    }
}

int app_daemon(void)
{
    /* Ended children are reaped by the kernel at once, so a probe of their
     * id fails; started programs inherit the setting. */
    (void)signal(SIGCHLD, SIG_IGN);
    for (size_t i = 0; i < sizeof list_files / sizeof list_files[0]; i++)
        ready_for_sub_process(list_files[i]);
    check_proc_status();
}
