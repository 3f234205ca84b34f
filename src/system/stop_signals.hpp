#pragma once
#include <signal.h>

#include <array>

namespace drovik {

// SIGINT, SIGTERM and SIGHUP as something to poll: while this lives they are blocked
// and wait on a descriptor, so the loop stops at a point of its choosing. One that was
// ignored when this was made is left ignored. Whatever this changes is as it was when it goes.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return signal_fd; }
    // The signal that came (call only when fd() is readable).
    int take() const;
    // From now on while this lives, the stop signals pending and any that come are dropped:
    // for a program whose orderly end is under way, which no further one may cut short.
    void drop_from_now_on() const;

private:
    sigset_t stops{};     // the signals taken here
    sigset_t previous{};  // the mask before
    int signal_fd = -1;
    mutable std::array<struct sigaction, 3> before_drop{};
    mutable bool dropped = false;
};

}  // namespace drovik
