// SPDX-License-Identifier: MIT
// sci monitor and sci send on a real pseudo-terminal pair: the test plays the
// device on the master side, the tool opens the slave as its serial line.
// Everything the tool does on its own time (setting the line up, printing a
// frame, ending) is waited for with a bound. SCI_TOOL names the tool, after
// the emulator's words in a cross build.
#include "frame_reference.h"
#include "table_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(10);

// Where a tool's standard output goes: a pipe the test reads, by default.
constexpr int kReadOutput = -2, kClosedOutput = -1;

// A running sci: its process, and its standard output and error as they come.
struct Tool {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string out_text, err_text;
    int status = -1;

    // `output`: kReadOutput, kClosedOutput, or a descriptor to write to.
    explicit Tool(const std::vector<std::string> &args, int output = kReadOutput)
    {
        // The tool's command, with the emulator's words in front in a cross build.
        const char *command = std::getenv("SCI_TOOL");
        if (command == nullptr) {
            ADD_FAILURE() << "SCI_TOOL names no sci tool: run the test through ctest";
            return;
        }
        std::vector<std::string> words;
        std::istringstream tool(command);
        for (std::string w; tool >> w;)
            words.push_back(w);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        argv.reserve(words.size() + 1);
        for (std::string &w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);

        int o[2], e[2];
        if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(output == kReadOutput ? o[1] : output, 1);
            dup2(e[1], 2);
            if (output == kClosedOutput)
                close(1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
    }

    ~Tool()
    {
        if (status < 0 && pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out);
        close(err);
    }

    // Reads what has come on both streams, waiting up to ms for some.
    void collect(int ms)
    {
        pollfd p[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        if (poll(p, 2, ms) <= 0)
            return;
        char buf[4096];
        for (int i = 0; i < 2; i++) {
            if (!(p[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? out_text : err_text).append(buf, size_t(n));
        }
    }

    // Waits until standard output holds `lines` lines.
    bool lines(size_t lines)
    {
        for (auto end = Clock::now() + kBound; Clock::now() < end; collect(50))
            if (size_t(std::count(out_text.begin(), out_text.end(), '\n')) >= lines)
                return true;
        return false;
    }

    // Waits for the tool to end and returns its exit status (-1: it did not
    // end in time, or ended by a signal: then 128 + the signal).
    int wait()
    {
        for (auto end = Clock::now() + kBound; Clock::now() < end; collect(20)) {
            int st;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                collect(0);
                collect(0);
                status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return status;
            }
        }
        return -1;
    }
};

// A pseudo-terminal pair in a known state: cooked, 9600 baud. The test holds
// the slave open too, to read its settings.
struct Line : public ::testing::Test {
    int master = -1, slave = -1;
    std::string path;
    termios before{};

    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
        before.c_lflag |= ICANON | ECHO;
        cfsetispeed(&before, B9600);
        cfsetospeed(&before, B9600);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
    }

    void TearDown() override
    {
        close(slave);
        if (master >= 0)
            close(master);
    }

    // Waits until the tool has set the line raw at 115200.
    bool raw()
    {
        for (auto end = Clock::now() + kBound; Clock::now() < end;) {
            termios t;
            if (tcgetattr(slave, &t) == 0 && !(t.c_lflag & ICANON) && cfgetospeed(&t) == B115200)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    bool restored()
    {
        termios t;
        return tcgetattr(slave, &t) == 0 && t.c_iflag == before.c_iflag &&
               t.c_oflag == before.c_oflag && t.c_cflag == before.c_cflag &&
               t.c_lflag == before.c_lflag && cfgetospeed(&t) == cfgetospeed(&before);
    }

    void put(const Bytes &b)
    {
        ASSERT_EQ(write(master, b.data(), b.size()), ssize_t(b.size()));
    }

    // Reads n bytes the tool wrote to the line.
    Bytes take(size_t n)
    {
        Bytes got;
        for (auto end = Clock::now() + kBound; got.size() < n && Clock::now() < end;) {
            pollfd p = {master, POLLIN, 0};
            uint8_t buf[512];
            if (poll(&p, 1, 50) > 0) {
                ssize_t k = read(master, buf, std::min(sizeof buf, n - got.size()));
                if (k > 0)
                    got.insert(got.end(), buf, buf + k);
            }
        }
        return got;
    }
};

const auto v2 = v2_frame;

// The line's text after its time, which must be within a minute of now.
std::string after_time(const std::string &line)
{
    tm t{};
    const char *rest = strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &t);
    if (rest == nullptr || rest[0] != '.' || line.size() < 24)
        return "no time in [" + line + "]";
    long away = long(timegm(&t)) - long(std::time(nullptr));
    if (away < -60 || away > 60)
        return "time far from now in [" + line + "]";
    return line.substr(23);
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

TEST_F(Line, MonitorPrintsFramesAsTheyComeAndPutsTheLineBack)
{
    Tool tool({"monitor", path, "-b", "115200", "-t", "200"});
    ASSERT_TRUE(raw()) << tool.err_text;
    Bytes good = v2(0x01, 0x1234, {0xAB, 0xCD});
    put({0x13, 0x55});
    put(Bytes(good.begin(), good.begin() + 5));
    put(Bytes(good.begin() + 5, good.end()));
    ASSERT_TRUE(tool.lines(1)) << tool.err_text;
    Bytes bad = v2(0x02, 0x0007, {0x01});
    bad.back() ^= 1;
    put(bad);
    put({0x55, 0xBB, 0x09, 0xFF, 0x00, 0x01}); // never completed: dropped after the gap
    ASSERT_TRUE(tool.lines(3)) << tool.out_text << tool.err_text;
    kill(tool.pid, SIGTERM);
    ASSERT_EQ(tool.wait(), 0) << tool.err_text;

    std::vector<std::string> lines = split_lines(tool.out_text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(after_time(lines[0]), " v2 addr 0x01 cmd 0x1234 len 2 checksum ok AB CD");
    EXPECT_EQ(after_time(lines[1]), " v2 addr 0x02 cmd 0x0007 len 1 checksum bad 01");
    EXPECT_EQ(after_time(lines[2]), " v2 addr 0x09 cmd 0x0001 truncated, 6 of 263 bytes");
    EXPECT_EQ(tool.err_text, "sci monitor: 1 good frames, 1 bad checksums, 17 bytes skipped, 1 "
                             "partial frames dropped\n");
    EXPECT_TRUE(restored());
}

// With --pcap each complete frame is one record, on disk as soon as its line
// is printed, stamped with the time its last byte came.
TEST_F(Line, MonitorWritesEachRecordAtOnce)
{
    std::string pcap = "/tmp/serial_test." + std::to_string(getpid()) + ".pcap";
    Tool tool({"monitor", path, "-b", "115200", "--pcap", pcap});
    ASSERT_TRUE(raw()) << tool.err_text;
    Bytes good = v2(0x01, 0x1234, {0xAB, 0xCD}), old = v1_frame(0x01, 0x1234, {0xAB, 0xCD});
    auto file = [&] {
        std::ifstream in(pcap, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    auto has = [&](size_t bytes) {
        for (auto end = Clock::now() + kBound; Clock::now() < end; tool.collect(20))
            if (file().size() >= bytes)
                return true;
        return false;
    };
    put(good);
    EXPECT_TRUE(has(24 + 16 + good.size())) << "the first record is not on disk";
    put({0x55, 0xBB, 0x09}); // cut off by the gap: no record
    put(old);
    EXPECT_TRUE(has(24 + 2 * 16 + good.size() + old.size()));
    kill(tool.pid, SIGTERM);
    ASSERT_EQ(tool.wait(), 0) << tool.err_text;

    Bytes f = file();
    (void)std::remove(pcap.c_str());
    ASSERT_EQ(f.size(), 24 + 2 * 16 + good.size() + old.size());
    auto u32 = [&](size_t at) {
        return uint32_t(f[at] | f[at + 1] << 8 | f[at + 2] << 16 | uint32_t(f[at + 3]) << 24);
    };
    EXPECT_EQ(u32(0), 0xA1B2C3D4u);
    EXPECT_EQ(u32(20), 147u);
    size_t at = 24;
    for (const Bytes &frame : {good, old}) {
        long away = long(u32(at)) - long(std::time(nullptr));
        EXPECT_TRUE(away >= -60 && away <= 0) << "stamped " << away << " s from now";
        EXPECT_EQ(u32(at + 8), frame.size());
        EXPECT_EQ(Bytes(f.begin() + long(at + 16), f.begin() + long(at + 16 + frame.size())),
                  frame);
        at += 16 + frame.size();
    }
}

TEST_F(Line, MonitorSaysWhenTheLineGoesAway)
{
    Tool tool({"monitor", path, "-b", "115200"});
    ASSERT_TRUE(raw()) << tool.err_text;
    close(master);
    master = -1;
    EXPECT_EQ(tool.wait(), 3);
    EXPECT_EQ(split_lines(tool.err_text).size(), 1u) << tool.err_text;
    EXPECT_EQ(tool.err_text.rfind("sci monitor: lost " + path + ": ", 0), 0u) << tool.err_text;
    EXPECT_EQ(tool.out_text, "");
}

// Frames for address 9, `count` of them, 28 bytes each: several times what
// the reader holds at once.
Bytes burst(size_t count)
{
    Bytes b;
    for (size_t i = 0; i < count; i++) {
        Bytes f = v2(0x09, uint16_t(i), Bytes(20, uint8_t(i)));
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

// A stopped tool (Ctrl-Z, a busy machine) finds a burst in one read when it
// goes on: every frame shows, and Ctrl-C still ends it.
TEST_F(Line, MonitorShowsEveryFrameOfABurst)
{
    Tool tool({"monitor", path, "-b", "115200"});
    ASSERT_TRUE(raw()) << tool.err_text;
    kill(tool.pid, SIGSTOP);
    put(burst(120));
    kill(tool.pid, SIGCONT);
    EXPECT_TRUE(tool.lines(120)) << tool.err_text;
    kill(tool.pid, SIGINT);
    ASSERT_EQ(tool.wait(), 0) << tool.err_text;
    EXPECT_EQ(tool.err_text, "sci monitor: 120 good frames, 0 bad checksums, 0 bytes skipped, 0 "
                             "partial frames dropped\n");
    EXPECT_TRUE(restored());
}

struct WayOut {
    const char *what;
    int signal; // 0: standard output's reader goes away, and a frame comes
    int status;
    const char *err;
};

void PrintTo(const WayOut &c, std::ostream *os)
{
    *os << c.what;
}

class Ways : public Line, public ::testing::WithParamInterface<WayOut>
{
};

TEST_P(Ways, OutOfMonitorPutTheLineBack)
{
    const WayOut &c = GetParam();
    Tool tool({"monitor", path, "-b", "115200"});
    ASSERT_TRUE(raw()) << tool.err_text;
    if (c.signal != 0) {
        put(v2(0x01, 0x1234, {}));
        ASSERT_TRUE(tool.lines(1)) << tool.err_text;
        kill(tool.pid, c.signal);
    } else {
        close(tool.out);
        tool.out = -1;
        put(v2(0x01, 0x1234, {}));
    }
    EXPECT_EQ(tool.wait(), c.status);
    EXPECT_EQ(tool.err_text, c.err);
    EXPECT_TRUE(restored());
}

const char kOneFrame[] =
    "sci monitor: 1 good frames, 0 bad checksums, 0 bytes skipped, 0 partial frames dropped\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, Ways, ::testing::Values(
        WayOut{"SIGHUP", SIGHUP, 0, kOneFrame},
        WayOut{"SIGQUIT", SIGQUIT, 0, kOneFrame},
        WayOut{"standard output's reader goes away", 0, 3, "sci monitor: cannot write standard output: Broken pipe\n"}),
    ByWhat());
// clang-format on

// Output that a reader never takes holds no stop signal up.
TEST_F(Line, MonitorEndsWhileItsOutputWaits)
{
    int o[2];
    ASSERT_EQ(pipe2(o, O_CLOEXEC), 0);
    fcntl(o[1], F_SETPIPE_SZ, 4096);
    Tool tool({"monitor", path, "-b", "115200"}, o[1]);
    close(o[1]);
    ASSERT_TRUE(raw()) << tool.err_text;
    put(burst(100));
    int queued = 0;
    for (auto end = Clock::now() + kBound; queued < 3800 && Clock::now() < end; tool.collect(20))
        ioctl(o[0], FIONREAD, &queued);
    ASSERT_GE(queued, 3800) << "the output does not fill";
    kill(tool.pid, SIGTERM);
    EXPECT_EQ(tool.wait(), 0) << tool.err_text;
    EXPECT_TRUE(restored());
    close(o[0]);
}

// With standard output closed, the tool's lines go nowhere: not onto the
// line, nor into the capture file, whichever would take its place.
TEST_F(Line, MonitorWithStandardOutputClosedWritesItsLinesNowhere)
{
    std::string pcap = "/tmp/serial_test_closed." + std::to_string(getpid()) + ".pcap";
    Tool tool({"monitor", path, "-b", "115200", "--pcap", pcap}, kClosedOutput);
    ASSERT_TRUE(raw()) << tool.err_text;
    Bytes frame = v2(0x01, 0x1234, {});
    const size_t recorded = 24 + 16 + frame.size();
    auto size = [&] {
        std::ifstream in(pcap, std::ios::binary | std::ios::ate);
        return in ? size_t(in.tellg()) : 0;
    };
    put(frame);
    for (auto end = Clock::now() + kBound; size() < recorded && Clock::now() < end;)
        tool.collect(20);
    kill(tool.pid, SIGTERM);
    ASSERT_EQ(tool.wait(), 0) << tool.err_text;
    EXPECT_EQ(tool.err_text, kOneFrame);
    EXPECT_EQ(size(), recorded) << "text in the capture file";
    (void)std::remove(pcap.c_str());
    pollfd p = {master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the tool wrote onto the line";
}

struct SendCase {
    const char *what;
    std::vector<std::string> args; // after "send DEVICE -b 115200"
    Bytes sent;                    // what must arrive on the line
    std::vector<Bytes> replies;    // the device's answer, piece by piece
    int status;
    const char *out; // after the time; "" for no line
    const char *err;
    bool stopped = false; // the replies come while the tool is stopped: one read
};

void PrintTo(const SendCase &c, std::ostream *os)
{
    *os << c.what;
}

class Send : public Line, public ::testing::WithParamInterface<SendCase>
{
};

TEST_P(Send, WritesTheFrameAndTakesTheReply)
{
    const SendCase &c = GetParam();
    std::vector<std::string> args = {"send", path, "-b", "115200"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Tool tool(args);
    EXPECT_EQ(take(c.sent.size()), c.sent) << tool.err_text;
    if (c.stopped)
        kill(tool.pid, SIGSTOP);
    for (const Bytes &r : c.replies)
        put(r);
    if (c.stopped)
        kill(tool.pid, SIGCONT);
    ASSERT_EQ(tool.wait(), c.status) << tool.err_text;
    std::vector<std::string> lines = split_lines(tool.out_text);
    if (*c.out)
        EXPECT_TRUE(lines.size() == 1 && after_time(lines[0]) == c.out) << tool.out_text;
    else
        EXPECT_EQ(tool.out_text, "");
    EXPECT_EQ(tool.err_text, c.err);
    EXPECT_TRUE(restored());
}

const Bytes kRequest = v2(0x01, 0x1234, {0xAB, 0xCD});

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, Send, ::testing::Values(
        SendCase{"no reply asked", {"-V", "2", "-a", "1", "-c", "0x1234", "AB", "CD"}, kRequest, {}, 0, "", ""},
        SendCase{"version 1 frame", {"-V", "1", "-a", "1", "-c", "0x1234", "ABCD"}, reference_frame(1, 0x01, 0x1234, kRequest.data() + 6, 2), {}, 0, "", ""},
        SendCase{"the reply after other frames", {"-V", "2", "-a", "1", "-c", "0x1234", "AB", "CD", "-r", "5000"}, kRequest, {v2(0x02, 0x1234, {}), {0x55, 0xBB, 0x01, 0x00, 0x12, 0x34, 0x00, 0x00}, v2(0x01, 0x9999, {}), v2(0x01, 0x1234, {0x00, 0x2A})}, 0, " v2 addr 0x01 cmd 0x1234 len 2 checksum ok 00 2A", ""},
        SendCase{"a reply with command FFFF matches", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "5000"}, v2(0x01, 0x1234, {}), {v2(0x01, 0xFFFF, {0x01})}, 0, " v2 addr 0x01 cmd 0xFFFF len 1 checksum ok 01", ""},
        SendCase{"-A and -C name the reply", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "5000", "-A", "5", "-C", "0x0099"}, v2(0x01, 0x1234, {}), {v2(0x01, 0x1234, {}), v2(0x05, 0x0099, {})}, 0, " v2 addr 0x05 cmd 0x0099 len 0 checksum ok", ""},
        SendCase{"the reply behind a burst, in one read", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "5000"}, v2(0x01, 0x1234, {}), {burst(120), v2(0x01, 0x1234, {0x07})}, 0, " v2 addr 0x01 cmd 0x1234 len 1 checksum ok 07", "", true},
        SendCase{"no reply in time", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "300"}, v2(0x01, 0x1234, {}), {v2(0x02, 0x1234, {})}, 1, "", "sci send: no reply within 300 ms\n"}),
    ByWhat());
// clang-format on

} // namespace
