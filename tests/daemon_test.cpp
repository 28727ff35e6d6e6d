// SPDX-License-Identifier: MIT
// Supervisor routines against a recording logger: list reading, the child's
// start contract, and restarts. Real processes are started; every test kills
// what it started.
#include "daemon_support.h"
#include "table_names.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// ------------------------------------------------------------ list files

struct Expect {
    int level;
    const char *text; // $P probe path, $D test folder, $PID the next started slot's id
};

struct ListCase {
    const char *what;
    const char *content;
    std::vector<Expect> log;
    std::vector<const char *> slots;
};

void PrintTo(const ListCase &c, std::ostream *os)
{
    *os << c.what;
}

class ListFile : public Supervisor, public ::testing::WithParamInterface<ListCase>
{
};

const std::string kLong = "/" + std::string(126, 'a'); // 127 characters, one read

TEST_P(ListFile, LogsAndSlots)
{
    const ListCase &c = GetParam();
    ready_for_sub_process(list("list", replace_all(c.content, "$L", kLong)).c_str());

    ASSERT_EQ(g_log.size(), c.log.size()) << c.what;
    int started = 0;
    for (size_t i = 0; i < c.log.size(); i++) {
        std::string want = c.log[i].text;
        if (want.find("$PID") != std::string::npos)
            want = replace_all(want, "$PID", std::to_string(g_proc_pid_array[started++]));
        want = replace_all(expand(want), "$L", kLong);
        EXPECT_EQ(g_log[i].level, c.log[i].level) << "record " << i;
        EXPECT_EQ(g_log[i].text, want) << "record " << i;
    }
    ASSERT_EQ(g_num_proc, c.slots.size());
    for (size_t i = 0; i < c.slots.size(); i++) {
        EXPECT_EQ(g_proc_array[i], expand(c.slots[i]));
        EXPECT_GT(g_proc_pid_array[i], 0);
    }
    expect_call_sites("ready_for_sub_process");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Lines, ListFile, ::testing::Values(
        ListCase{"missing program", "$D/none\n", {{1, "file name : $D/none\n"}, {2, "process file $D/none not exists \n"}}, {}},
        ListCase{"empty line", "\n", {{1, "file name : \n"}, {2, "process file  not exists \n"}}, {}},
        ListCase{"leading blank", " $P\n", {{1, "file name : \n"}, {2, "process file  not exists \n"}}, {}},
        ListCase{"leading tab", "\t$P\n", {{1, "file name : \n"}, {2, "process file  not exists \n"}}, {}},
        ListCase{"CR LF line keeps its CR", "$P\r\n", {{1, "file name : $P\r\n"}, {2, "process file $P\r not exists \n"}}, {}},
        ListCase{"path followed by words", "$P --verbose 3\n", {{1, "file name : $P\n"}, {1, "start - pid=$PID, $P \n"}}, {"$P"}},
        ListCase{"tab ends the path", "$P\targ\n", {{1, "file name : $P\n"}, {1, "start - pid=$PID, $P \n"}}, {"$P"}},
        ListCase{"last line without line feed", "$P", {{1, "file name : $P\n"}, {1, "start - pid=$PID, $P \n"}}, {"$P"}},
        ListCase{"path listed twice takes two slots", "$P\n$P\n", {{1, "file name : $P\n"}, {1, "start - pid=$PID, $P \n"}, {1, "file name : $P\n"}, {1, "start - pid=$PID, $P \n"}}, {"$P", "$P"}},
        ListCase{"long line is read in 127-character pieces", "$L$P\n", {{1, "file name : $L\n"}, {2, "process file $L not exists \n"}, {1, "file name : $P\n"}, {1, "start - pid=$PID, $P \n"}}, {"$P"}},
        ListCase{"file that is not executable takes a slot", "$D/data\n", {{1, "file name : $D/data\n"}, {1, "start - pid=$PID, $D/data \n"}}, {"$D/data"}},
        ListCase{"empty list", "", {}, {}}),
    ByWhat());
// clang-format on

TEST_F(Supervisor, MissingListFile)
{
    ready_for_sub_process((dir + "/nothing").c_str());
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].level, 2);
    EXPECT_EQ(g_log[0].text, "daemon file " + dir + "/nothing not exists\n");
    EXPECT_EQ(g_num_proc, 0);
    expect_call_sites("ready_for_sub_process");
}

TEST_F(Supervisor, DirectoryInPlaceOfListFile)
{
    ready_for_sub_process(dir.c_str());
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].level, 2);
    EXPECT_EQ(g_log[0].text, "Is a directory \n");
    EXPECT_EQ(g_num_proc, 0);
    expect_call_sites("ready_for_sub_process");
}

TEST_F(Supervisor, ReadOnlyListFileIsRead)
{
    std::string path = list("ro", "$D/data\n");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ready_for_sub_process(path.c_str());
    EXPECT_EQ(g_num_proc, 1);
}

// The 64 slots are shared by all lists; each list that still names an
// existing program after that reports the limit once and stops.
TEST_F(Supervisor, SixtyFourSlotsAcrossLists)
{
    std::string a, b;
    for (int i = 0; i < 40; i++)
        a += "$D/data\n";
    for (int i = 0; i < 30; i++)
        b += "$D/data\n";
    ready_for_sub_process(list("a", a).c_str());
    ready_for_sub_process(list("b", b).c_str());
    size_t after_b = g_log.size();
    ready_for_sub_process(list("c", "$D/none\n$D/data\n$D/data\n").c_str());

    EXPECT_EQ(g_num_proc, MAX_PROC);
    // a: 40 x (file name, start); b: 24 x (file name, start), file name, limit.
    ASSERT_EQ(after_b, 40u * 2 + 24u * 2 + 2);
    EXPECT_EQ(g_log[after_b - 1].text, "process num support max 64 \n");
    EXPECT_EQ(g_log[after_b - 1].level, 2);
    std::vector<std::string> c_texts;
    for (size_t i = after_b; i < g_log.size(); i++)
        c_texts.push_back(g_log[i].text);
    EXPECT_EQ(c_texts, (std::vector<std::string>{"file name : " + dir + "/none\n",
                                                 "process file " + dir + "/none not exists \n",
                                                 "file name : " + dir + "/data\n",
                                                 "process num support max 64 \n"}));
    expect_call_sites("ready_for_sub_process");
}

// ------------------------------------------------- the child's start contract

// Makes close_range fail with ENOSYS in this process and its children, as on
// a kernel before 5.9. False where that cannot be done (qemu-arm, for one,
// refuses seccomp filters).
bool deny_close_range()
{
#ifdef SYS_close_range
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return false;
#endif
}

class StartContract : public Supervisor
{
  protected:
    // Starts the probe from a child of the test that holds what the test
    // inherited plus descriptor 7 (not close-on-exec), with `closed` closed,
    // and returns what the probe reported. With `old_kernel`, close_range
    // fails there; the report then says "seccomp=unavailable" if that could
    // not be arranged.
    std::map<std::string, std::string> probe(const std::vector<int> &closed, bool via_list,
                                             bool old_kernel = false)
    {
        std::string report = dir + "/report";
        std::string lst = list("probe.list", "$P\n");
        // The probe appends: a report left by an earlier probe would be read
        // as this one's, and that probe may still be writing.
        std::filesystem::remove(report);
        setenv("PROBE_OUT", report.c_str(), 1);
        pid_t c = fork();
        if (c == 0) {
            dup2(open(lst.c_str(), O_RDONLY | O_CLOEXEC), 7);
            for (int fd : closed)
                close(fd);
            if (old_kernel && !deny_close_range()) {
                write_file(report, "seccomp=unavailable\nend\n");
                _exit(0);
            }
            if (via_list)
                ready_for_sub_process(lst.c_str());
            else
                fork_sub_process(kProbe.c_str(), 0);
            _exit(0);
        }
        unsetenv("PROBE_OUT");
        std::map<std::string, std::string> got;
        bool done = eventually([&] {
            std::ifstream in(report);
            std::stringstream ss;
            ss << in.rdbuf();
            return ss.str().find("end\n") != std::string::npos;
        });
        EXPECT_TRUE(done) << "the probe never reported";
        std::ifstream in(report);
        for (std::string l; std::getline(in, l);)
            if (l.find('=') != std::string::npos)
                got[l.substr(0, l.find('='))] = l.substr(l.find('=') + 1);
        if (got.count("pid")) {
            pid_t pid = std::stoi(got["pid"]);
            kill(pid, SIGKILL);
            EXPECT_TRUE(eventually([&] { return gone(pid); }));
        }
        return got;
    }

    static void expect_contract(std::map<std::string, std::string> got)
    {
        // The vector is empty. Before Linux 5.18 the program sees argc 0 and a
        // null argv[0]; later kernels put one empty string in its place.
        bool empty_vector = (got["argc"] == "0" && got["argv0"] == "(null)") ||
                            (got["argc"] == "1" && got["argv0"] == "(empty)");
        EXPECT_TRUE(empty_vector) << "argc " << got["argc"] << ", argv[0] " << got["argv0"];
        EXPECT_EQ(got["fd0"], "/dev/null");
        EXPECT_EQ(got["fd1"], "/dev/null");
        EXPECT_EQ(got["fd2"], "/dev/null");
        EXPECT_EQ(got["stdin"], "eof");
        EXPECT_EQ(got["other_fds"], "");
        EXPECT_EQ(got["sigchld"], "ignored");
    }
};

TEST_F(StartContract, StartedFromListFile)
{
    expect_contract(probe({}, true));
}

// Without close_range the descriptors are closed one by one.
TEST_F(StartContract, KernelWithoutCloseRange)
{
    auto got = probe({}, false, true);
    if (got["seccomp"] == "unavailable")
        GTEST_SKIP() << "no seccomp filter here to take close_range away";
    expect_contract(got);
}

TEST_F(StartContract, SupervisorWithClosedStandardStreams)
{
    for (std::vector<int> closed : {std::vector<int>{0}, {1}, {2}, {0, 2}, {0, 1, 2}}) {
        SCOPED_TRACE("closed " + std::to_string(closed.size()) + " from fd " +
                     std::to_string(closed[0]));
        expect_contract(probe(closed, false));
    }
}

TEST_F(StartContract, FailedExecNeverRunsSupervisorCode)
{
    // The child of a failed exec ends at once with 127 and logs nothing.
    (void)signal(SIGCHLD, SIG_DFL);
    fork_sub_process(data.c_str(), 0);
    pid_t pid = g_proc_pid_array[0];
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
    EXPECT_TRUE(g_log.empty());
    g_proc_pid_array[0] = 0;
}

// ------------------------------------------------------------------ restarts

class Restart : public Supervisor
{
  protected:
    void add_slot(const std::string &path)
    {
        (void)std::snprintf(g_proc_array[g_num_proc], PROC_PATH_SIZE, "%s", path.c_str());
        fork_sub_process(g_proc_array[g_num_proc], g_num_proc);
        ASSERT_GT(g_proc_pid_array[g_num_proc], 0);
        g_num_proc++;
    }

    void expect_restarted(const std::vector<std::string> &paths)
    {
        ASSERT_EQ(g_log.size(), paths.size());
        for (size_t i = 0; i < paths.size(); i++) {
            EXPECT_EQ(g_log[i].level, 2);
            EXPECT_EQ(g_log[i].text, "proc [" + paths[i] + "] is not running,now bring it up...\n");
        }
        expect_call_sites("check_proc_status");
        g_log.clear();
    }
};

TEST_F(Restart, RunningChildIsLeftAlone)
{
    add_slot(kProbe);
    pid_t before = g_proc_pid_array[0];
    check_proc_pass(0);
    check_proc_pass(0);
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(g_proc_pid_array[0], before);
}

TEST_F(Restart, KilledChildComesBack)
{
    add_slot(kProbe);
    pid_t before = g_proc_pid_array[0];
    ASSERT_EQ(kill(before, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return gone(before); }));
    check_proc_pass(0);
    expect_restarted({kProbe});
    EXPECT_NE(g_proc_pid_array[0], before);
    EXPECT_FALSE(gone(g_proc_pid_array[0]));
}

TEST_F(Restart, ProgramThatCannotRunIsRestartedEveryPass)
{
    add_slot(data);
    for (int pass = 0; pass < 3; pass++) {
        pid_t before = g_proc_pid_array[0];
        ASSERT_TRUE(eventually([&] { return gone(before); }));
        check_proc_pass(0);
        expect_restarted({data});
        EXPECT_NE(g_proc_pid_array[0], before);
    }
}

TEST_F(Restart, SlotWithoutProcessIdIsStarted)
{
    (void)std::snprintf(g_proc_array[0], PROC_PATH_SIZE, "%s", kProbe.c_str());
    g_num_proc = 1; // its first fork failed: id still 0
    check_proc_pass(0);
    expect_restarted({kProbe});
    EXPECT_GT(g_proc_pid_array[0], 0);
}

TEST_F(Restart, SlotsOfOneProgramAreProbedApart)
{
    add_slot(kProbe);
    add_slot(kProbe);
    add_slot(kProbe);
    pid_t keep0 = g_proc_pid_array[0], keep2 = g_proc_pid_array[2], dead = g_proc_pid_array[1];
    kill(dead, SIGKILL);
    ASSERT_TRUE(eventually([&] { return gone(dead); }));
    check_proc_pass(0);
    expect_restarted({kProbe});
    EXPECT_EQ(g_proc_pid_array[0], keep0);
    EXPECT_EQ(g_proc_pid_array[2], keep2);
    EXPECT_NE(g_proc_pid_array[1], dead);
}

// A process of another user answers the probe with EPERM: it exists, so it
// is neither reported nor started again.
TEST_F(Restart, ProcessOfAnotherUserCountsAsRunning)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to probe as another user";
    (void)signal(SIGCHLD, SIG_DFL); // so that the child below can be waited for
    pid_t c = fork();
    if (c == 0) {
        (void)std::snprintf(g_proc_array[0], PROC_PATH_SIZE, "%s", kProbe.c_str());
        g_proc_pid_array[0] = getppid(); // root's, and alive
        g_num_proc = 1;
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        errno = 0;
        if (kill(g_proc_pid_array[0], 0) == 0 || errno != EPERM)
            _exit(3);
        check_proc_pass(0);
        _exit(g_log.empty() && g_proc_pid_array[0] == getppid() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(c, &status, 0), c);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: restarted or logged; 2: setuid failed; 3: no EPERM";
}

} // namespace
