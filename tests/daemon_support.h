/* SPDX-License-Identifier: MIT */
// What the supervisor's test binaries share: a recording sdk_print, small
// helpers, and a fixture with a scratch folder and an empty process table.
#ifndef DAEMON_SUPPORT_H
#define DAEMON_SUPPORT_H

#include "daemon_internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// One sdk_print call as the supervisor made it.
struct Record {
    int level;
    int flag;
    std::string file;
    std::string function;
    int line;
    std::string format;
    std::string text;
};

// Every call since the fixture's set-up, in order (daemon_support.cpp).
extern std::vector<Record> g_log;

inline const std::string kProbe = PROBE_PATH;

// Polls until cond() holds or the bound runs out.
template <class Cond>
bool eventually(Cond cond, std::chrono::milliseconds bound = std::chrono::seconds(10))
{
    auto end = std::chrono::steady_clock::now() + bound;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool gone(pid_t pid);
std::string replace_all(const std::string &s, const std::string &from, const std::string &to);
void write_file(const std::string &path, const std::string &content);

class Supervisor : public ::testing::Test
{
  protected:
    std::string dir;
    std::string data; // exists, not executable

    void SetUp() override;
    void TearDown() override;

    // $P is the probe program, $D the scratch folder.
    std::string expand(const std::string &s) const;
    // Writes a list file into the scratch folder and returns its path.
    std::string list(const std::string &name, const std::string &content);
    // Every record: the constant 1, the supervisor's source file, the named
    // function, and a line where that format is logged.
    void expect_call_sites(const char *function);
};

#endif
