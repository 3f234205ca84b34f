#include "progress.hpp"

#include <algorithm>
#include <cmath>
#include <ostream>

#include "system/format.hpp"

namespace drovik::fetch {

namespace {
constexpr Nanos REDRAW_SPACING = 100 * MS;
constexpr int BAR_WIDTH = 20;
}  // namespace

std::string format_bytes(double bytes) {
    if (bytes < 1e3) {
        return format("{:.0f} B", bytes);
    }
    const char* units[] = {"kB", "MB", "GB"};
    int unit = 0;
    bytes /= 1e3;
    while (bytes >= 999.95 && unit < 2) {
        bytes /= 1e3;
        ++unit;
    }
    if (bytes < 99.995) {
        return format("{:.2f} {}", bytes, units[unit]);
    }
    return format("{:.1f} {}", bytes, units[unit]);
}

std::string format_duration(double seconds) {
    if (seconds < 0 || !std::isfinite(seconds)) {
        return "--:--";
    }
    const auto whole = static_cast<std::uint64_t>(std::llround(seconds));
    if (whole < 3600) {
        return format("{}:{:02}", whole / 60, whole % 60);
    }
    return format("{}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60);
}

std::string format_progress(const ProgressView& view) {
    // Tenths of a per cent, never rounded up: 100.0 % and a full bar only once every byte is in.
    const std::uint64_t permille = view.total == 0 ? 1000 : view.done * 1000 / view.total;
    const auto filled = static_cast<int>(permille * BAR_WIDTH / 1000);
    const double left = view.rate > 0 ? static_cast<double>(view.total - view.done) / view.rate : -1;
    return format("[{}{}] {:5.1f}% {} of {}, {}/s, ETA {}", std::string(filled, '#'),
                  std::string(BAR_WIDTH - filled, '-'), static_cast<double>(permille) / 10,
                  format_bytes(static_cast<double>(view.done)), format_bytes(static_cast<double>(view.total)),
                  format_bytes(view.rate), format_duration(left));
}

ProgressBar::ProgressBar(std::ostream& out, bool enabled, std::uint64_t total, std::uint64_t start_bytes,
                         Nanos start)
    : out(out), enabled(enabled), total(total), start_bytes(start_bytes), start(start) {}

ProgressBar::~ProgressBar() {
    if (open_line) {
        out << '\n' << std::flush;
    }
}

void ProgressBar::update(std::uint64_t done, Nanos now) {
    if (enabled && (!open_line || now - last_draw >= REDRAW_SPACING)) {
        draw(done, now);
    }
}

void ProgressBar::finish(std::uint64_t done, Nanos now) {
    if (enabled) {
        draw(done, now);
        out << '\n' << std::flush;
        open_line = false;
    }
}

void ProgressBar::draw(std::uint64_t done, Nanos now) {
    const double seconds = static_cast<double>(now - start) / 1e9;
    const double rate = seconds > 0 ? static_cast<double>(done - start_bytes) / seconds : 0;
    // Blanks at the end wipe what a longer earlier line left.
    out << '\r' << format_progress({done, total, rate}) << "   " << std::flush;
    last_draw = now;
    open_line = true;
}

}  // namespace drovik::fetch
