// Starts a program with COM 1 mapped to a fresh pseudo-terminal that behaves
// like a serial line: it carries bytes no faster than 9600 8N1 does, and its
// DTR and RTS follow the Linux tty layer. Shows what arrives at the far end
// and every line event in time order, until the program exits.

#include "chunk_format.h"
#include "line_channel.h"
#include "virtual_line.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kestavo::line_monitor;

constexpr int kPortNumber = 1;
constexpr std::chrono::milliseconds kPollInterval {50};
// 9600 baud with a start bit, 8 data bits and a stop bit.
constexpr double kBytesPerSecond = 960.0;
// A stalled monitor must not catch up in one burst: at most 0.1 s of line time.
constexpr double kMaxCredit = kBytesPerSecond / 10;
constexpr std::chrono::milliseconds kDiscardWait {500};
constexpr std::size_t kMaxChunk = 64 * 1024;

struct Output {
    std::int64_t monotonicNs;
    std::string text;
};

std::int64_t monotonicNs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// How many bytes the line may carry now.
class Pacer
{
public:
    std::size_t allowance()
    {
        const auto now = std::chrono::steady_clock::now();
        m_credit = std::min(kMaxCredit, m_credit + std::chrono::duration<double>(now - m_last).count() * kBytesPerSecond);
        m_last = now;
        return static_cast<std::size_t>(m_credit);
    }
    void took(std::size_t count) { m_credit -= static_cast<double>(count); }

private:
    std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
    double m_credit = 0;
};

volatile std::sig_atomic_t g_childPid = 0;

void forwardSignal(int signal)
{
    if (g_childPid > 0)
        ::kill(static_cast<pid_t>(g_childPid), signal);
}

constexpr std::array kForwardedSignals {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t forwardedSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kForwardedSignals)
        sigaddset(&set, signal);
    return set;
}

void forwardTerminatingSignals()
{
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kForwardedSignals)
        ::sigaction(signal, &action, nullptr);
}

void print(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Takes off the line what it can carry now, as one chunk; unpaced, what is queued.
std::size_t carry(int masterFd, std::size_t allowance, std::vector<Output> &out, kestavo_line_queue &queue)
{
    std::vector<unsigned char> bytes(std::min(allowance, kMaxChunk));
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t count = ::read(masterFd, bytes.data() + total, bytes.size() - total);
        if (count > 0) {
            total += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        // EAGAIN: nothing queued; EIO: no one has the slave open right now.
        break;
    }
    if (total > 0) {
        out.push_back({monotonicNs(), formatChunk(kPortNumber, std::span(bytes.data(), total))});
        __atomic_add_fetch(&queue.carried, static_cast<std::uint64_t>(total), __ATOMIC_RELEASE);
    }
    return total;
}

// The program flushed its output: what it counted as thrown away must not
// reach the far end. It is in the pseudo-terminal already, or arrives shortly.
void discard(int masterFd, std::uint64_t count)
{
    std::array<unsigned char, 4096> buffer {};
    const auto deadline = std::chrono::steady_clock::now() + kDiscardWait;
    while (count > 0 && std::chrono::steady_clock::now() < deadline) {
        const ssize_t got = ::read(masterFd, buffer.data(), std::min<std::uint64_t>(buffer.size(), count));
        if (got > 0) {
            count -= static_cast<std::uint64_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        pollfd entry {masterFd, POLLIN, 0};
        ::poll(&entry, 1, 10);
    }
}

void show(const LineEvent &event, std::vector<Output> &out)
{
    out.push_back({event.monotonicNs, "COM " + std::to_string(kPortNumber) + "  " + describeLineEvent(event) + "\n"});
}

// What the events say of the line: how often the program has it open, and its levels.
struct LineState {
    int opens = 0;
    int levels = 0;
};

void takeEvents(LineChannel &channel, int masterFd, std::vector<Output> &out, LineState &state)
{
    for (const LineEvent &event : channel.readEvents()) {
        if (event.kind == "flush")
            discard(masterFd, event.count);
        state.opens += event.kind == "open" ? 1 : event.kind == "close" ? -1 : 0;
        state.levels = event.after;
        show(event, out);
    }
}

// A program that dies with the port open never calls close(); the kernel
// closes it and hangs up as at any last close.
void closedByExit(int masterFd, const LineState &state, std::vector<Output> &out)
{
    if (state.opens <= 0)
        return;
    termios settings {};
    const bool hangUp = ::tcgetattr(masterFd, &settings) != 0 || (settings.c_cflag & HUPCL);
    show({monotonicNs(), "exit", state.levels, hangUp ? 0 : state.levels, 0, {}}, out);
}

// Each row gets the wall-clock time of its event; continuation rows are
// indented under the first.
void printInOrder(std::vector<Output> &out)
{
    std::stable_sort(out.begin(), out.end(), [](const Output &a, const Output &b) { return a.monotonicNs < b.monotonicNs; });
    timespec real {};
    ::clock_gettime(CLOCK_REALTIME, &real);
    const std::int64_t offset = real.tv_sec * 1'000'000'000LL + real.tv_nsec - monotonicNs();
    for (const Output &item : out) {
        const std::int64_t wall = item.monotonicNs + offset;
        const time_t seconds = static_cast<time_t>(wall / 1'000'000'000LL);
        tm local {};
        ::localtime_r(&seconds, &local);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d  ", local.tm_hour, local.tm_min, local.tm_sec,
                      static_cast<int>(wall / 1'000'000 % 1000));
        const std::string indent(std::strlen(stamp), ' ');
        std::string text;
        std::size_t start = 0;
        for (std::size_t end; (end = item.text.find('\n', start)) != std::string::npos; start = end + 1)
            text += (start == 0 ? std::string(stamp) : indent) + item.text.substr(start, end - start + 1);
        print(text);
    }
    out.clear();
}

int exitStatusOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

std::string describeExit(const std::string &program, int status)
{
    if (WIFSIGNALED(status)) {
        const char *name = ::sigabbrev_np(WTERMSIG(status));
        return program + " ended by signal " + std::to_string(WTERMSIG(status))
            + (name ? std::string(" (SIG") + name + ")" : std::string());
    }
    return program + " exited with status " + std::to_string(exitStatusOf(status));
}

} // namespace

int main(int argc, char **argv)
{
    bool paced = true;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--unpaced") == 0) {
        paced = false;
        ++first;
    }
    if (argc <= first) {
        std::fprintf(stderr,
                     "usage: %s [--unpaced] <program> [args...]\n"
                     "Runs the program with KESTAVO_COM1 set to a new pseudo-terminal that behaves like a\n"
                     "serial line at 9600 8N1 with DTR and RTS, and shows what the program sends there\n"
                     "(hex and Windows-1252 text) and what its modem-control lines do, until it exits.\n"
                     "--unpaced: carry bytes as fast as they come instead of at 960 bytes a second.\n",
                     argv[0]);
        return 2;
    }
    const std::string program = argv[first];

    // Held back until the child's pid is known, so a Ctrl-C right at the start
    // still reaches the program and the monitor lives on to report its end.
    const sigset_t forwarded = forwardedSignalSet();
    ::sigprocmask(SIG_BLOCK, &forwarded, nullptr);

    VirtualLine line;
    LineChannel channel;
    for (const std::string &error : {line.open(), channel.open()}) {
        if (!error.empty()) {
            std::fprintf(stderr, "kestavo-line-monitor: %s\n", error.c_str());
            return 1;
        }
    }
    const std::string emulation = findLineEmulation("/proc/self/exe");
    if (emulation.empty()) {
        std::fprintf(stderr, "kestavo-line-monitor: the line emulation libkestavo-line-emulation.so is missing\n");
        return 1;
    }
    if (::setenv("KESTAVO_COM1", line.slavePath().c_str(), 1) != 0) {
        std::perror("kestavo-line-monitor: setenv");
        return 1;
    }
    if (const std::string error = channel.exportFor(line.slavePath(), emulation); !error.empty()) {
        std::fprintf(stderr, "kestavo-line-monitor: %s\n", error.c_str());
        return 1;
    }

    print("COM " + std::to_string(kPortNumber) + " = " + line.slavePath() + " (virtual line, "
          + (paced ? "9600 8N1" : "unpaced") + ", DTR and RTS emulated); showing what arrives at its other end.\n");

    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("kestavo-line-monitor: fork");
        return 1;
    }
    if (child == 0) {
        ::sigprocmask(SIG_UNBLOCK, &forwarded, nullptr);
        ::execvp(argv[first], argv + first);
        std::fprintf(stderr, "kestavo-line-monitor: cannot start %s: %s\n", argv[first], std::strerror(errno));
        ::_exit(127);
    }
    channel.closeChildEnd();
    g_childPid = child;
    forwardTerminatingSignals();
    ::sigprocmask(SIG_UNBLOCK, &forwarded, nullptr);

    Pacer pacer;
    LineState state;
    std::vector<Output> out;
    int status = 0;
    for (;;) {
        const std::size_t allowance = paced ? pacer.allowance() : SIZE_MAX;
        std::array<pollfd, 2> entries {{{channel.eventsFd(), POLLIN, 0}, {line.masterFd(), POLLIN, 0}}};
        // Without credit the line carries nothing; only events wake us then.
        const nfds_t count = allowance > 0 ? 2 : 1;
        const int ready = ::poll(entries.data(), count, static_cast<int>(kPollInterval.count()));
        if (ready < 0 && errno != EINTR) {
            std::perror("kestavo-line-monitor: poll");
            break;
        }
        takeEvents(channel, line.masterFd(), out, state);
        std::size_t carried = 0;
        if (count == 2 && (entries[1].revents & POLLIN))
            carried = carry(line.masterFd(), paced ? pacer.allowance() : SIZE_MAX, out, channel.queue());
        pacer.took(paced ? carried : 0);
        printInOrder(out);
        // With the slave closed the master reports a hang-up at once, every time:
        // wait here instead of spinning until the program opens it again.
        if (count == 2 && carried == 0 && (entries[1].revents & POLLHUP))
            std::this_thread::sleep_for(kPollInterval);

        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR) {
            std::perror("kestavo-line-monitor: waitpid");
            return 1;
        }
    }
    // What the program left queued when it ended still goes out, as the
    // kernel drains a port at its last close.
    takeEvents(channel, line.masterFd(), out, state);
    while (carry(line.masterFd(), SIZE_MAX, out, channel.queue()) > 0) {
    }
    closedByExit(line.masterFd(), state, out);
    printInOrder(out);
    g_childPid = 0;

    print("COM " + std::to_string(kPortNumber) + ": " + describeExit(program, status) + ".\n");
    return exitStatusOf(status);
}
