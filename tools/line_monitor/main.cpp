// Starts a program with COM 1 mapped to a fresh pseudo-terminal and shows
// every chunk the program sends on it, until the program exits.

#include "chunk_format.h"
#include "virtual_line.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace kestavo::line_monitor;

static constexpr int kPortNumber = 1;
static constexpr std::chrono::milliseconds kPollInterval {100};

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

// Everything queued at the master; false once nothing more can come for now.
bool drain(int masterFd)
{
    std::array<unsigned char, 4096> buffer {};
    bool any = false;
    for (;;) {
        const ssize_t count = ::read(masterFd, buffer.data(), buffer.size());
        if (count > 0) {
            print(formatChunk(kPortNumber, std::span(buffer.data(), static_cast<std::size_t>(count))));
            any = true;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        // EAGAIN: nothing queued; EIO: no one has the slave open right now.
        return any;
    }
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
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s <program> [args...]\n"
                     "Runs the program with KESTAVO_COM1 set to a new pseudo-terminal and shows\n"
                     "what it sends there (hex and Windows-1252 text) until it exits.\n",
                     argv[0]);
        return 2;
    }

    // Held back until the child's pid is known, so a Ctrl-C right at the start
    // still reaches the program and the monitor lives on to report its end.
    const sigset_t forwarded = forwardedSignalSet();
    ::sigprocmask(SIG_BLOCK, &forwarded, nullptr);

    VirtualLine line;
    if (const std::string error = line.open(); !error.empty()) {
        std::fprintf(stderr, "kestavo-line-monitor: %s\n", error.c_str());
        return 1;
    }
    if (::setenv("KESTAVO_COM1", line.slavePath().c_str(), 1) != 0) {
        std::perror("kestavo-line-monitor: setenv");
        return 1;
    }

    print("COM " + std::to_string(kPortNumber) + " = " + line.slavePath()
          + " (virtual line); showing what arrives at its other end.\n");

    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("kestavo-line-monitor: fork");
        return 1;
    }
    if (child == 0) {
        ::sigprocmask(SIG_UNBLOCK, &forwarded, nullptr);
        ::execvp(argv[1], argv + 1);
        std::fprintf(stderr, "kestavo-line-monitor: cannot start %s: %s\n", argv[1], std::strerror(errno));
        ::_exit(127);
    }
    g_childPid = child;
    forwardTerminatingSignals();
    ::sigprocmask(SIG_UNBLOCK, &forwarded, nullptr);

    int status = 0;
    for (;;) {
        pollfd entry {line.masterFd(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(kPollInterval.count()));
        if (ready < 0 && errno != EINTR) {
            std::perror("kestavo-line-monitor: poll");
            break;
        }
        bool received = false;
        if (ready > 0 && (entry.revents & POLLIN))
            received = drain(line.masterFd());
        // With the slave closed the master reports a hang-up at once, every time:
        // wait here instead of spinning until the program opens it again.
        if (ready > 0 && !received && (entry.revents & POLLHUP))
            std::this_thread::sleep_for(kPollInterval);

        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR) {
            std::perror("kestavo-line-monitor: waitpid");
            return 1;
        }
    }
    drain(line.masterFd());
    g_childPid = 0;

    print("COM " + std::to_string(kPortNumber) + ": " + describeExit(argv[1], status) + ".\n");
    return exitStatusOf(status);
}
