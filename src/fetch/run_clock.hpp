#pragma once
#include "nanos.hpp"

namespace drovik::fetch {

// Time that stands still while the program cannot run: stopped (Ctrl-Z, SIGSTOP) or
// starved. The loop reads it at least every `longest_wait`, so a longer gap between two
// readings is time it was not running, and no server can be blamed for it.
class RunClock {
public:
    RunClock(Nanos real_now, Nanos longest_wait) : last(real_now), longest_wait(longest_wait) {}

    // The time that ran up to `real_now`, a monotonic clock's reading.
    Nanos read(Nanos real_now) {
        if (real_now - last > MISSED_TURNS * longest_wait) {
            lost += real_now - last - longest_wait;
        }
        last = real_now;
        return real_now - lost;
    }
    // How much time did not run, up to the latest reading.
    Nanos stopped() const { return lost; }

private:
    // A gap of this many waits cannot come from a loop that runs, however busy.
    static constexpr Nanos MISSED_TURNS = 5;

    Nanos last;
    Nanos longest_wait;
    Nanos lost = 0;
};

}  // namespace drovik::fetch
