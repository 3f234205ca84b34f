#include "stop_signals.hpp"

#include <sys/signalfd.h>
#include <unistd.h>

#include "network.hpp"

namespace drovik {

namespace {
// Ctrl-C, kill, and the terminal gone away.
constexpr int STOPS[] = {SIGINT, SIGTERM, SIGHUP};
}  // namespace

StopSignals::StopSignals() {
    sigset_t stop{};
    sigemptyset(&stop);
    for (const int stop_signal : STOPS) {
        // One ignored when the program started (nohup, trap '' INT) stays ignored.
        struct sigaction current {};
        if (sigaction(stop_signal, nullptr, &current) != 0) {
            throw_syscall_error("sigaction");
        }
        if (current.sa_handler != SIG_IGN) {
            sigaddset(&stop, stop_signal);
        }
    }
    if (sigprocmask(SIG_BLOCK, &stop, &previous) != 0) {
        throw_syscall_error("sigprocmask");
    }
    signal_fd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (signal_fd < 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        throw_syscall_error("signalfd");
    }
}

StopSignals::~StopSignals() {
    close(signal_fd);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

int StopSignals::take() const {
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        throw_syscall_error("read signalfd");
    }
    return static_cast<int>(info.ssi_signo);
}

void StopSignals::drop_from_now_on() const {
    // Ignoring a signal discards it where it is pending, before it can be delivered when the
    // destructor unblocks it.
    for (const int stop_signal : STOPS) {
        signal(stop_signal, SIG_IGN);
    }
}

}  // namespace drovik
