// SPDX-License-Identifier: MIT
#include "daemon_support.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

std::vector<Record> g_log;

extern "C" int sdk_print(int level, int flag, const char *file, const char *function, int line,
                         const char *format, ...)
{
    char text[1024];
    va_list ap;

    va_start(ap, format);
    (void)vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    g_log.push_back({level, flag, file, function, line, format, text});
    return 0;
}

bool gone(pid_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// Linear in the length of s, which may be a list of 100 000 lines.
std::string replace_all(const std::string &s, const std::string &from, const std::string &to)
{
    std::string r;
    size_t at = 0;
    for (size_t hit; (hit = s.find(from, at)) != std::string::npos; at = hit + from.size())
        r.append(s, at, hit - at).append(to);
    return r.append(s, at, std::string::npos);
}

static std::vector<std::string> source_lines()
{
    std::ifstream in(DAEMON_SOURCE);
    std::vector<std::string> lines{""};
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

void Supervisor::SetUp()
{
    char tmpl[] = "/tmp/daemon_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    data = dir + "/data";
    write_file(data, "not a program\n");
    std::memset(g_proc_array, 0, sizeof g_proc_array);
    std::memset(g_proc_pid_array, 0, sizeof g_proc_pid_array);
    g_num_proc = 0;
    g_log.clear();
    // As the supervisor runs: ended children are reaped at once.
    (void)signal(SIGCHLD, SIG_IGN);
}

void Supervisor::TearDown()
{
    for (int i = 0; i < MAX_PROC; i++)
        if (g_proc_pid_array[i] > 0)
            kill(g_proc_pid_array[i], SIGKILL);
    (void)signal(SIGCHLD, SIG_DFL);
    std::filesystem::remove_all(dir);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string Supervisor::expand(const std::string &s) const
{
    return replace_all(replace_all(s, "$P", kProbe), "$D", dir);
}

std::string Supervisor::list(const std::string &name, const std::string &content)
{
    std::string path = dir + "/" + name;
    write_file(path, expand(content));
    return path;
}

void Supervisor::expect_call_sites(const char *function)
{
    static const std::vector<std::string> src = source_lines();
    for (const Record &r : g_log) {
        EXPECT_EQ(r.flag, 1);
        EXPECT_EQ(r.file, "daemon.cpp");
        EXPECT_EQ(r.function, function);
        std::string head = r.format.substr(0, r.format.find_first_of("%\\\n"));
        bool found = false;
        for (int l = r.line - 2; l <= r.line + 2; l++)
            if (l > 0 && size_t(l) < src.size() && src[size_t(l)].find(head) != std::string::npos &&
                (head.size() > 0 || src[size_t(l)].find("LOG") != std::string::npos))
                found = true;
        EXPECT_TRUE(found) << "line " << r.line << " is not where \"" << r.format << "\" is logged";
    }
}
