#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>

#include "nanos.hpp"

namespace drovik::fetch {

// 1000-based units, as rates on a network are given: "512 B", "12.3 kB", "4.56 MB".
std::string format_bytes(double bytes);
// "1:05", "1:02:03"; "--:--" when not known (negative).
std::string format_duration(double seconds);

struct ProgressView {
    std::uint64_t done = 0;   // bytes taken, whether in the file yet or not
    std::uint64_t total = 0;  // bytes asked for
    double rate = 0;          // bytes per second in this run
};

// One line of the progress display: bar, percent, bytes, rate and time left.
std::string format_progress(const ProgressView& view);

// Redraws the progress line on a terminal at most 10 times a second.
class ProgressBar {
public:
    // Draws nothing unless `enabled`.
    ProgressBar(std::ostream& out, bool enabled, std::uint64_t total, std::uint64_t start_bytes, Nanos start);
    // Ends a line left open, so that an error message starts on a line of its own.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::uint64_t done, Nanos now);
    // Draws the last state and ends its line.
    void finish(std::uint64_t done, Nanos now);

private:
    void draw(std::uint64_t done, Nanos now);

    std::ostream& out;
    bool enabled;
    std::uint64_t total;
    std::uint64_t start_bytes;
    Nanos start;
    Nanos last_draw = 0;
    bool open_line = false;
};

}  // namespace drovik::fetch
