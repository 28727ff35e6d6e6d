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
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
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
        SendCase{"cut 5: the frame's first 5 bytes", {"-V", "2", "-a", "1", "-c", "0x1234", "AB", "CD", "cut", "5"}, Bytes(kRequest.begin(), kRequest.begin() + 5), {}, 0, "", ""},
        SendCase{"version 1 frame", {"-V", "1", "-a", "1", "-c", "0x1234", "ABCD"}, reference_frame(1, 0x01, 0x1234, kRequest.data() + 6, 2), {}, 0, "", ""},
        SendCase{"the reply after other frames", {"-V", "2", "-a", "1", "-c", "0x1234", "AB", "CD", "-r", "5000"}, kRequest, {v2(0x02, 0x1234, {}), {0x55, 0xBB, 0x01, 0x00, 0x12, 0x34, 0x00, 0x00}, v2(0x01, 0x9999, {}), v2(0x01, 0x1234, {0x00, 0x2A})}, 0, " v2 addr 0x01 cmd 0x1234 len 2 checksum ok 00 2A", ""},
        SendCase{"a reply with command FFFF matches", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "5000"}, v2(0x01, 0x1234, {}), {v2(0x01, 0xFFFF, {0x01})}, 0, " v2 addr 0x01 cmd 0xFFFF len 1 checksum ok 01", ""},
        SendCase{"-A and -C name the reply", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "5000", "-A", "5", "-C", "0x0099"}, v2(0x01, 0x1234, {}), {v2(0x01, 0x1234, {}), v2(0x05, 0x0099, {})}, 0, " v2 addr 0x05 cmd 0x0099 len 0 checksum ok", ""},
        SendCase{"the reply behind a burst, in one read", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "5000"}, v2(0x01, 0x1234, {}), {burst(120), v2(0x01, 0x1234, {0x07})}, 0, " v2 addr 0x01 cmd 0x1234 len 1 checksum ok 07", "", true},
        SendCase{"no reply in time", {"-V", "2", "-a", "1", "-c", "0x1234", "-r", "300"}, v2(0x01, 0x1234, {}), {v2(0x02, 0x1234, {})}, 1, "", "sci send: no reply within 300 ms\n"}),
    ByWhat());
// clang-format on

// Noise before the frame holds no sync byte; a bad checksum spoils only the
// checksum.
TEST_F(Line, SendPutsNoiseBeforeAFrameWithABadChecksum)
{
    Tool tool({"send", path, "-b", "115200", "-V", "2", "-a", "1", "-c", "0x1234", "AB", "CD",
               "noise", "40", "bad-checksum"});
    Bytes got = take(40 + kRequest.size());
    ASSERT_EQ(tool.wait(), 0) << tool.err_text;
    ASSERT_EQ(got.size(), 40 + kRequest.size());
    EXPECT_EQ(std::count(got.begin(), got.begin() + 40, 0x55), 0);
    EXPECT_TRUE(std::equal(kRequest.begin(), kRequest.end() - 2, got.begin() + 40));
    EXPECT_NE(Bytes(got.end() - 2, got.end()), Bytes(kRequest.end() - 2, kRequest.end()));
}

std::string write_file(const std::string &name, const std::string &text)
{
    std::string path = "/tmp/serial_test." + std::to_string(getpid()) + "." + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// The pseudo-terminal of a second tool, its master joined to the fixture's:
// what either tool writes reaches the other, and what the fixture's tool
// writes is kept.
struct Joined {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string path;
    std::atomic<bool> done{false};
    std::mutex lock;
    Bytes kept;
    std::thread relay;

    explicit Joined(int other)
    {
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        relay = std::thread([this, other] {
            while (!done) {
                pollfd p[2] = {{other, POLLIN, 0}, {master, POLLIN, 0}};
                uint8_t buf[512];
                if (poll(p, 2, 20) > 0 && !((p[0].revents | p[1].revents) & POLLIN))
                    std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a side closed
                for (int i = 0; i < 2; i++) {
                    ssize_t n = (p[i].revents & POLLIN) ? read(p[i].fd, buf, sizeof buf) : 0;
                    if (n > 0 && i == 0) {
                        std::lock_guard<std::mutex> hold(lock);
                        kept.insert(kept.end(), buf, buf + n);
                    }
                    if (n > 0)
                        (void)!write(p[1 - i].fd, buf, size_t(n));
                }
            }
        });
    }
    ~Joined()
    {
        done = true;
        relay.join();
        close(master);
    }
    Bytes take()
    {
        std::lock_guard<std::mutex> hold(lock);
        return std::exchange(kept, {});
    }
};

struct ServeCase {
    const char *what;
    std::vector<std::string> request; // sci send's words after -V 2
    const char *reply;                // sci send's line after the time, or ""
    const char *served;               // serve's line after the time and the frame
    const char *scan;                 // what sci scan reads in the bytes serve wrote
    int status;                       // sci send's
    int at_least_ms = 0;              // how long sci send must have waited
};

// clang-format off
const ServeCase kServeCases[] = {
    {"reply", {"-a", "1", "-c", "0x10"}, " v2 addr 0x01 cmd 0x0010 len 3 checksum ok 01 02 03", " -> reply 11 bytes", "00000000: v2 addr 0x01 cmd 0x0010 len 3 checksum ok 01 02 03\n", 0},
    {"another address and command", {"-a", "1", "-c", "0x11", "-A", "9", "-C", "0x8011"}, " v2 addr 0x09 cmd 0x8011 len 1 checksum ok AA", " -> reply 9 bytes", "00000000: v2 addr 0x09 cmd 0x8011 len 1 checksum ok AA\n", 0},
    {"echo", {"-a", "5", "-c", "0x20", "11", "22"}, " v2 addr 0x05 cmd 0x0020 len 2 checksum ok 11 22", " -> echo 10 bytes", "00000000: v2 addr 0x05 cmd 0x0020 len 2 checksum ok 11 22\n", 0},
    {"delay", {"-a", "3", "-c", "0x5"}, " v2 addr 0x03 cmd 0x0005 len 1 checksum ok 00", " -> delay 300 ms, reply 9 bytes", "00000000: v2 addr 0x03 cmd 0x0005 len 1 checksum ok 00\n", 0, 300},
    {"ignore", {"-a", "4", "-c", "0x5"}, "", " -> ignore", "", 1},
    {"bad checksum", {"-a", "7", "-c", "0x30"}, "", " -> reply 9 bytes, bad checksum", "00000000: v2 addr 0x07 cmd 0x0030 len 1 checksum bad 00\n", 1},
    {"cut", {"-a", "7", "-c", "0x31"}, "", " -> reply 5 of 9 bytes", "00000000: v2 addr 0x07 truncated, 5 of 9 bytes\n", 1},
    {"noise", {"-a", "7", "-c", "0x32"}, " v2 addr 0x07 cmd 0x0032 len 1 checksum ok 00", " -> noise 40, reply 9 bytes", "00000028: v2 addr 0x07 cmd 0x0032 len 1 checksum ok 00\n", 0},
    {"no rule", {"-a", "7", "-c", "0x99"}, "", " -> no rule", "", 1},
};
// clang-format on

TEST_F(Line, ServeActsByItsTable)
{
    std::string table = write_file("table", R"(# VERSION ADDR CMD ACTION
2 1 0x0010 reply 01 02 03
2 1 0x0011 reply -a 9 -c 0x8011 AA # another address and command
* * 0x0020 echo
2 3 * delay 300 reply 00
2 4 * ignore
* 7 0x0030 reply 00 bad-checksum
* 7 0x0031 reply 00 cut 5
* 7 0x0032 noise 40 reply 00
* * 0x00FE exit 3
)");
    std::string scanned = "/tmp/serial_test." + std::to_string(getpid()) + ".served";
    Tool serve({"serve", path, "-b", "115200", "--table", table});
    ASSERT_TRUE(raw()) << serve.err_text;
    Joined device(master);
    size_t lines = 0;
    for (const ServeCase &c : kServeCases) {
        std::vector<std::string> args = {"send", device.path, "-b", "115200",
                                         "-V",   "2",         "-r", "1000"};
        args.insert(args.end(), c.request.begin(), c.request.end());
        auto start = Clock::now();
        Tool send(args);
        EXPECT_EQ(send.wait(), c.status) << c.what << send.err_text;
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.at_least_ms)) << c.what;
        EXPECT_EQ(split_lines(send.out_text).size(), *c.reply ? 1u : 0u) << c.what;
        if (*c.reply) {
            EXPECT_EQ(after_time(split_lines(send.out_text)[0]), c.reply) << c.what;
        }
        ASSERT_TRUE(serve.lines(++lines)) << c.what << serve.err_text;
        std::string line = split_lines(serve.out_text).back();
        EXPECT_EQ(line.substr(line.find(" ->")), c.served) << c.what;
        Bytes wrote = device.take();
        std::ofstream(scanned, std::ios::binary)
            .write(reinterpret_cast<const char *>(wrote.data()), long(wrote.size()));
        Tool scan({"scan", scanned});
        scan.wait();
        EXPECT_EQ(scan.out_text, c.scan) << c.what;
    }
    (void)std::remove(scanned.c_str());
    Tool bye({"send", device.path, "-b", "115200", "-V", "2", "-a", "1", "-c", "0xFE"});
    EXPECT_EQ(bye.wait(), 0);
    EXPECT_EQ(serve.wait(), 3) << serve.err_text;
    EXPECT_EQ(serve.err_text, "sci serve: 10 frames received, 7 answered, 3 unanswered, 0 bad\n");
    EXPECT_TRUE(restored());
    (void)std::remove(table.c_str());
}

// SIGUSR1 reads the table again; a table with a mistake leaves the old rules.
TEST_F(Line, ServeReloadsItsTableOnSigusr1)
{
    std::string table = write_file("reload", "2 1 0x10 reply 01\n");
    Tool serve({"serve", path, "-b", "115200", "--table", table});
    ASSERT_TRUE(raw()) << serve.err_text;
    auto answer = [&] {
        put(v2(0x01, 0x10, {}));
        return take(9);
    };
    auto said = [&](const std::string &text) {
        for (auto end = Clock::now() + kBound; Clock::now() < end; serve.collect(20))
            if (serve.err_text.find(text) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_EQ(answer(), v2(0x01, 0x10, {0x01}));
    write_file("reload", "2 1 0x10 reply 02\n");
    kill(serve.pid, SIGUSR1);
    ASSERT_TRUE(said("sci serve: reloaded " + table + ": 1 rules\n")) << serve.err_text;
    EXPECT_EQ(answer(), v2(0x01, 0x10, {0x02}));
    write_file("reload", "2 1 0x10 reply 03 cut 99\n");
    kill(serve.pid, SIGUSR1);
    ASSERT_TRUE(said("sci serve: " + table +
                     ":1: cut 99: the reply has only 9 bytes; kept the old rules\n"))
        << serve.err_text;
    EXPECT_EQ(answer(), v2(0x01, 0x10, {0x02}));
    kill(serve.pid, SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.err_text;
    EXPECT_TRUE(restored());
    (void)std::remove(table.c_str());
}

// Each record leaves at its recorded offset from the first (5 ms is the goal;
// the bound is generous for a busy machine).
TEST_F(Line, ReplayKeepsTheTimeBetweenRecords)
{
    const long offsets_ms[] = {0, 150, 400, 1100};
    const Bytes frame = v2(0x01, 0x1234, {0xAB});
    std::string pcap;
    auto put32 = [&](uint32_t v) { pcap.append(reinterpret_cast<const char *>(&v), 4); };
    for (uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65535u, 147u})
        put32(v);
    for (long ms : offsets_ms) {
        long usec = 500000 + ms * 1000; // across a second's boundary
        for (uint32_t v : {uint32_t(1000 + usec / 1000000), uint32_t(usec % 1000000),
                           uint32_t(frame.size()), uint32_t(frame.size())})
            put32(v);
        pcap.append(frame.begin(), frame.end());
    }
    std::string name = write_file("replay.pcap", pcap);
    Tool replay({"replay", name, path, "-b", "115200"});
    std::vector<long> came;
    Clock::time_point first;
    for (long ms : offsets_ms) {
        EXPECT_EQ(take(frame.size()), frame);
        if (ms == 0)
            first = Clock::now();
        came.push_back(long(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first).count()));
    }
    EXPECT_EQ(replay.wait(), 0) << replay.err_text;
    for (size_t i = 0; i < came.size(); i++) {
        std::printf("record %zu: recorded at +%ld ms, came at +%ld ms\n", i, offsets_ms[i],
                    came[i]);
        EXPECT_LE(std::labs(came[i] - offsets_ms[i]), 50) << "record " << i;
    }
    std::vector<std::string> lines = split_lines(replay.out_text);
    ASSERT_EQ(lines.size(), 5u) << replay.out_text;
    EXPECT_EQ(lines[4].rfind("sci replay: 4 records, 36 bytes in ", 0), 0u) << lines[4];
    EXPECT_TRUE(restored());
    (void)std::remove(name.c_str());
}

} // namespace
