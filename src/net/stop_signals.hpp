#pragma once
#include <signal.h>

namespace drovik {

// SIGINT, SIGTERM and SIGHUP as something to poll: while this lives they are blocked
// and wait on a descriptor, so the loop stops at a point of its choosing. One that was
// ignored when this was made is left ignored.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return signal_fd; }
    // The signal that came (call only when fd() is readable).
    int take() const;
    // From now on for the rest of the process, the stop signals pending and any that come are
    // dropped: for a program whose orderly end is under way, which no further one may cut short.
    void drop_from_now_on() const;

private:
    sigset_t previous{};
    int signal_fd = -1;
};

}  // namespace drovik
