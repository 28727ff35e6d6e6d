// SPDX-License-Identifier: MIT
// The supervisor's routines against hostile list files and failing forks,
// with the recording logger. Whatever a list holds, only paths it names are
// started, the table never passes 64 slots, and supervision goes on. Cases of
// a supervisor that is not root run in a child of the test that has become
// user nobody.
#include "daemon_support.h"
#include "table_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

namespace
{

const uid_t kNobody = 65534;

// Sets how many processes this user may have, up to the hard limit, which
// stays as it is so that the limit can be raised again.
int set_nproc(rlim_t soft)
{
    struct rlimit lim;

    if (getrlimit(RLIMIT_NPROC, &lim) != 0)
        return -1;
    lim.rlim_cur = std::min(soft, lim.rlim_max);
    return setrlimit(RLIMIT_NPROC, &lim);
}

// What a run of the supervisor's routines leaves: its log, its table, and the
// slot-0 id and state after each step. Shared with a child that runs them.
struct Outcome {
    int error; // a step of the child failed: 1 becoming nobody, 2 a wait
    int records;
    struct {
        int level;
        char text[256];
    } log[32];
    int num_proc;
    char paths[MAX_PROC][PROC_PATH_SIZE];
    int steps;
    struct {
        int records;
        pid_t id;
        bool running;
    } step[8];
};

class Fault : public Supervisor
{
  protected:
    Outcome *out = nullptr;

    void SetUp() override
    {
        Supervisor::SetUp();
        // Shared with the child that runs as nobody, for the rest of the test program.
        const int shared = MAP_SHARED | MAP_ANONYMOUS;
        // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes descriptor -1
        void *p = mmap(nullptr, sizeof *out, PROT_READ | PROT_WRITE, shared, -1, 0);
        // cppcheck-suppress memleak ; never unmapped: the program's to its end
        ASSERT_NE(p, MAP_FAILED);
        out = static_cast<Outcome *>(p);
        std::memset(out, 0, sizeof *out);
        // user nobody reaches the scratch folder's files by their modes
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        munmap(out, sizeof *out);
        Supervisor::TearDown();
    }

    // Notes slot 0 as it stands now.
    void step()
    {
        auto &s = out->step[out->steps++];
        s.records = int(g_log.size());
        s.id = g_proc_pid_array[0];
        s.running = s.id > 0 && !gone(s.id);
    }

    void collect()
    {
        out->records = int(g_log.size());
        for (size_t i = 0; i < g_log.size() && i < std::size(out->log); i++) {
            out->log[i].level = g_log[i].level;
            (void)std::snprintf(out->log[i].text, sizeof out->log[i].text, "%s",
                                g_log[i].text.c_str());
        }
        out->num_proc = g_num_proc;
        std::memcpy(out->paths, g_proc_array, sizeof out->paths);
    }

    // Runs body, then collects its outcome. As nobody, it runs in a child of
    // the test that may have at most `nproc` processes of its own (the soft
    // limit, which body may raise) and that kills what it started.
    template <class Body> void run(bool as_nobody, rlim_t nproc, Body body)
    {
        if (!as_nobody) {
            body();
            collect();
            return;
        }
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to become another user";
        (void)signal(SIGCHLD, SIG_DFL); // so that the child can be waited for
        pid_t c = fork();
        if (c == 0) {
            if (set_nproc(nproc) != 0 || setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                setuid(kNobody) != 0) {
                out->error = 1;
                _exit(1);
            }
            (void)signal(SIGCHLD, SIG_IGN);
            body();
            collect();
            for (int i = 0; i < g_num_proc; i++)
                if (g_proc_pid_array[i] > 0)
                    kill(g_proc_pid_array[i], SIGKILL);
            _exit(0);
        }
        ASSERT_GT(c, 0);
        int status = 0;
        ASSERT_EQ(waitpid(c, &status, 0), c);
        (void)signal(SIGCHLD, SIG_IGN);
        ASSERT_NE(out->error, 1) << "could not become user nobody";
        ASSERT_NE(out->error, 2) << "a killed child did not go";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }

    void expect_log(int from, const std::vector<std::string> &texts)
    {
        ASSERT_EQ(out->records - from, int(texts.size()));
        for (int i = 0; i < int(texts.size()); i++) {
            EXPECT_EQ(out->log[from + i].text, expand(texts[size_t(i)])) << "record " << from + i;
            bool progress = texts[size_t(i)].rfind("file name", 0) == 0 ||
                            texts[size_t(i)].rfind("start", 0) == 0;
            EXPECT_EQ(out->log[from + i].level, progress ? 1 : 2) << "record " << from + i;
        }
    }
};

// ------------------------------------------------------------ fork failure

struct ForkCase {
    const char *what;
    bool start_fails; // the first start's fork fails too, not only restarts
};

void PrintTo(const ForkCase &c, std::ostream *os)
{
    *os << c.what;
}

class ForkFailure : public Fault, public ::testing::WithParamInterface<ForkCase>
{
};

// A slot whose fork fails stays counted and keeps its id: 0 when it never
// ran, else its dead process's. Every pass reports it and tries again, and
// the first fork that succeeds brings it back.
TEST_P(ForkFailure, SlotIsRetriedEveryPass)
{
    const ForkCase &c = GetParam();
    std::string lst = list("list", "$P\n");
    run(true, c.start_fails ? 0 : RLIM_INFINITY, [&] {
        ready_for_sub_process(lst.c_str());
        step();
        if (!c.start_fails) {
            kill(g_proc_pid_array[0], SIGKILL);
            if (!eventually([] { return gone(g_proc_pid_array[0]); }))
                out->error = 2;
            set_nproc(0);
        }
        check_proc_pass(0);
        step();
        check_proc_pass(0);
        step();
        set_nproc(RLIM_INFINITY);
        check_proc_pass(0);
        step();
    });
    if (IsSkipped() || HasFatalFailure())
        return;
    pid_t first = out->step[0].id;
    const char *down = "proc [$P] is not running,now bring it up...\n";
    EXPECT_EQ(out->num_proc, 1);
    EXPECT_EQ(out->paths[0], kProbe);
    expect_log(0, {"file name : $P\n", "start - pid=" + std::to_string(first) + ", $P \n", down,
                   down, down});
    if (c.start_fails)
        EXPECT_EQ(first, 0);
    else
        EXPECT_GT(first, 0);
    for (int i : {1, 2}) {
        EXPECT_EQ(out->step[i].records, 2 + i) << "pass " << i;
        EXPECT_EQ(out->step[i].id, first) << "pass " << i;
        EXPECT_FALSE(out->step[i].running) << "pass " << i;
    }
    EXPECT_GT(out->step[3].id, 0);
    EXPECT_NE(out->step[3].id, first);
    EXPECT_TRUE(out->step[3].running);
}

INSTANTIATE_TEST_SUITE_P(Forks, ForkFailure,
                         ::testing::Values(ForkCase{"first start", true},
                                           ForkCase{"restart", false}),
                         ByWhat());

// ------------------------------------------- list files that cannot be used

struct PathCase {
    const char *what;
    std::string (*make)(const std::string &dir); // returns the list path
    bool as_nobody;
    const char *text; // the one record, at level 2; $D the scratch folder
};

void PrintTo(const PathCase &c, std::ostream *os)
{
    *os << c.what;
}

class UnusableList : public Fault, public ::testing::WithParamInterface<PathCase>
{
};

// Nothing from the bad list, one record for it, and the next list is still
// read and its program supervised.
TEST_P(UnusableList, IsReportedAndSkipped)
{
    const PathCase &c = GetParam();
    std::string bad = c.make(dir);
    std::string good = list("good", "$P\n");
    alarm(30); // a list that blocks or never ends fails the test, not the run
    run(c.as_nobody, RLIM_INFINITY, [&] {
        ready_for_sub_process(bad.c_str());
        ready_for_sub_process(good.c_str());
        check_proc_pass(0);
        step();
    });
    alarm(0);
    if (IsSkipped() || HasFatalFailure())
        return;
    expect_log(0, {c.text, "file name : $P\n",
                   "start - pid=" + std::to_string(out->step[0].id) + ", $P \n"});
    EXPECT_EQ(out->num_proc, 1);
    EXPECT_TRUE(out->step[0].running);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnusableList,
    ::testing::Values(PathCase{"dangling symbolic link",
                               [](const std::string &d) {
                                   symlink((d + "/none").c_str(), (d + "/link").c_str());
                                   return d + "/link";
                               },
                               false, "daemon file $D/link not exists\n"},
                      PathCase{"symbolic link loop",
                               [](const std::string &d) {
                                   symlink((d + "/b").c_str(), (d + "/a").c_str());
                                   symlink((d + "/a").c_str(), (d + "/b").c_str());
                                   return d + "/a";
                               },
                               false, "daemon file $D/a not exists\n"},
                      PathCase{"symbolic link to a directory",
                               [](const std::string &d) {
                                   mkdir((d + "/conf").c_str(), 0755);
                                   symlink((d + "/conf").c_str(), (d + "/link").c_str());
                                   return d + "/link";
                               },
                               false, "Is a directory \n"},
                      PathCase{"file the supervisor may not read",
                               [](const std::string &d) {
                                   std::string p = d + "/secret";
                                   write_file(p, kProbe + "\n");
                                   chmod(p.c_str(), 0600);
                                   return p;
                               },
                               true, "Permission denied \n"},
                      PathCase{"file in a folder the supervisor may not search",
                               [](const std::string &d) {
                                   std::string p = d + "/closed";
                                   mkdir(p.c_str(), 0700);
                                   write_file(p + "/list", kProbe + "\n");
                                   return p + "/list";
                               },
                               // the existence test itself fails
                               true, "daemon file $D/closed/list not exists\n"},
                      // Neither may hold up start-up nor be read for ever.
                      PathCase{"FIFO without a writer",
                               [](const std::string &d) {
                                   mkfifo((d + "/fifo").c_str(), 0644);
                                   return d + "/fifo";
                               },
                               false, "Invalid argument \n"},
                      PathCase{"symbolic link to a device",
                               [](const std::string &d) {
                                   symlink("/dev/zero", (d + "/zero").c_str());
                                   return d + "/zero";
                               },
                               false, "Invalid argument \n"},
                      PathCase{"socket",
                               [](const std::string &d) {
                                   sockaddr_un a{};
                                   a.sun_family = AF_UNIX;
                                   (void)std::snprintf(a.sun_path, sizeof a.sun_path, "%s/sock",
                                                       d.c_str());
                                   // A socket that could not be bound leaves no file,
                                   // and the case fails on the log it expects. Closed,
                                   // the socket keeps its file.
                                   int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                                   (void)bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
                                   close(s);
                                   return d + "/sock";
                               },
                               false, "No such device or address \n"}),
    ByWhat());

// ---------------------------------------------------- hostile list contents

// The paths a list names, by its format: reads of at most 127 characters,
// each ending after a line feed, each cut at its first NUL, space, tab or line
// feed.
std::vector<std::string> pieces(const std::string &content)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < content.size();) {
        size_t end = std::min(content.size(), at + PROC_PATH_SIZE - 1);
        size_t lf = content.find('\n', at);
        if (lf != std::string::npos && lf < end)
            end = lf + 1;
        std::string line = content.substr(at, end - at);
        out.push_back(line.substr(0, line.find_first_of(std::string(" \t\n\0", 4))));
        at = end;
    }
    return out;
}

struct ContentCase {
    const char *what;
    std::string (*content)(); // $P the probe, $D the scratch folder
};

void PrintTo(const ContentCase &c, std::ostream *os)
{
    *os << c.what;
}

class HostileList : public Supervisor, public ::testing::WithParamInterface<ContentCase>
{
};

std::string repeat(const std::string &s, int n)
{
    std::string r;
    for (int i = 0; i < n; i++)
        r += s;
    return r;
}

TEST_P(HostileList, StartsOnlyListedPathsWithinTheTable)
{
    std::string content = expand(GetParam().content());
    ready_for_sub_process(list("list", content).c_str());

    // What the format and the table allow: a record per path read, a slot for
    // each that exists, and the limit once, ending the list.
    std::vector<std::string> want, slots;
    for (const std::string &p : pieces(content)) {
        want.push_back("file name : " + p + "\n");
        if (access(p.c_str(), F_OK) != 0) {
            want.push_back("process file " + p + " not exists \n");
        } else if (slots.size() == MAX_PROC) {
            want.push_back("process num support max 64 \n");
            break;
        } else {
            want.push_back("start - pid=" + std::to_string(g_proc_pid_array[slots.size()]) + ", " +
                           p + " \n");
            slots.push_back(p);
        }
    }
    ASSERT_EQ(g_log.size(), want.size());
    for (size_t i = 0; i < want.size(); i++)
        if (g_log[i].text != want[i])
            FAIL() << "record " << i << ": [" << g_log[i].text << "], expected [" << want[i] << "]";
    ASSERT_EQ(g_num_proc, slots.size());
    for (size_t i = 0; i < slots.size(); i++) {
        EXPECT_EQ(g_proc_array[i], slots[i]) << "slot " << i;
        EXPECT_GT(g_proc_pid_array[i], 0) << "slot " << i;
    }

    // Supervision goes on: a pass restarts exactly the slots whose program
    // could not run.
    std::vector<std::string> down;
    for (size_t i = 0; i < slots.size(); i++) {
        if (slots[i] != kProbe) {
            ASSERT_TRUE(eventually([&] { return gone(g_proc_pid_array[i]); }));
            down.push_back("proc [" + slots[i] + "] is not running,now bring it up...\n");
        }
    }
    g_log.clear();
    check_proc_pass(0);
    ASSERT_EQ(g_log.size(), down.size());
    for (size_t i = 0; i < down.size(); i++)
        EXPECT_EQ(g_log[i].text, down[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, HostileList,
    ::testing::Values(
        ContentCase{"binary bytes",
                    [] {
                        std::string bytes;
                        for (int i = 0; i < 16 * 256; i++)
                            bytes += char(i & 0xFF);
                        // NOLINTNEXTLINE(cert-msc51-cpp): a fixed seed, the same list each run
                        std::shuffle(bytes.begin(), bytes.end(), std::mt19937(1234));
                        return bytes + "\n$P\n";
                    }},
        ContentCase{"NUL bytes inside lines",
                    [] {
                        static const char s[] = "$P\0/bin/sh\n\0$P\n$D/none\0$P\n$P\0";
                        return std::string(s, sizeof s - 1);
                    }},
        ContentCase{"1 MiB line", [] { return std::string(1 << 20, 'a') + "\n$P\n"; }},
        ContentCase{"1 MiB line of slashes", [] { return std::string(1 << 20, '/') + "\n"; }},
        ContentCase{"100 000 lines naming nothing",
                    [] { return repeat("$D/none\n", 100000) + "$P\n"; }},
        ContentCase{"100 000 lines naming a program", [] { return repeat("$D/data\n", 100000); }}),
    ByWhat());

} // namespace
