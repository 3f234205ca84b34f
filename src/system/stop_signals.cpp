#include "system/stop_signals.hpp"

#include <sys/signalfd.h>
#include <unistd.h>

#include "system/network.hpp"

namespace drovik {

namespace {
// Ctrl-C, kill, and the terminal gone away.
constexpr std::array<int, 3> STOPS = {SIGINT, SIGTERM, SIGHUP};
}  // namespace

StopSignals::StopSignals() {
    sigemptyset(&stops);
    for (const int stop_signal : STOPS) {
        // One ignored when the program started (nohup, trap '' INT) stays ignored.
        struct sigaction current {};
        if (sigaction(stop_signal, nullptr, &current) != 0) {
            throw_syscall_error("sigaction");
        }
        if (current.sa_handler != SIG_IGN) {
            sigaddset(&stops, stop_signal);
        }
    }
    if (sigprocmask(SIG_BLOCK, &stops, &previous) != 0) {
        throw_syscall_error("sigprocmask");
    }
    signal_fd = signalfd(-1, &stops, SFD_CLOEXEC);
    if (signal_fd < 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        throw_syscall_error("signalfd");
    }
}

StopSignals::~StopSignals() {
    close(signal_fd);
    // Still ignored while they are unblocked, the dropped ones pending vanish.
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    for (std::size_t k = 0; dropped && k < STOPS.size(); ++k) {
        if (sigismember(&stops, STOPS[k]) == 1) {
            sigaction(STOPS[k], &before_drop[k], nullptr);
        }
    }
}

int StopSignals::take() const {
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        throw_syscall_error("read signalfd");
    }
    return static_cast<int>(info.ssi_signo);
}

void StopSignals::drop_from_now_on() const {
    if (dropped) {
        return;
    }
    // Ignoring a signal discards it where it is pending, before it can be delivered when the
    // destructor unblocks it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (std::size_t k = 0; k < STOPS.size(); ++k) {
        if (sigismember(&stops, STOPS[k]) == 1) {
            sigaction(STOPS[k], &ignore, &before_drop[k]);
        }
    }
    dropped = true;
}

}  // namespace drovik
