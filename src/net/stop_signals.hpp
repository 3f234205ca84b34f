#pragma once
#include <signal.h>

namespace drovik {

// SIGINT and SIGTERM as something to poll: while this lives they are blocked and
// wait on a descriptor, so the loop stops at a point of its choosing. Those still
// waiting when it goes are dropped: the program is ending already.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return signal_fd; }
    // The signal that came (call only when fd() is readable).
    int take() const;

private:
    sigset_t previous{};
    int signal_fd = -1;
};

}  // namespace drovik
