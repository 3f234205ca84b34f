#include "rate_control.hpp"

#include <algorithm>
#include <cmath>

namespace drovik::fetch {

namespace {
constexpr Nanos MS = 1000000;
constexpr double FIRST_RATE = 1000;
constexpr double FIRST_BURST = 100;
constexpr double BLIND_MOST = 2500;
constexpr Nanos DOUBLING = 250 * MS;
constexpr double LEAST_RATE = 50;
constexpr double MOST_RATE = 20000;
constexpr double REFUSED_AIM = 0.10;
constexpr double STEP = 50;  // GETs/s added per decision: brings competing clients together
constexpr std::uint64_t FIRST_WINDOW = 300;
constexpr std::uint64_t WINDOW = 1000;
constexpr std::uint64_t MEASURED = 300;
constexpr Nanos MEASURED_SPAN = 1000 * MS;
constexpr Nanos PERIOD = 20 * MS;
}  // namespace

double RateControl::initial_rate() const {
    return FIRST_RATE;
}

double RateControl::initial_burst() const {
    return FIRST_BURST;
}

double RateControl::update(Nanos now, double rate, std::optional<Nanos> timeout, bool replied,
                           AnswerMeter& meter, Nanos largest_delay) {
    if (!timeout) {
        if (!replied) {
            const double doublings = static_cast<double>(now - started) / static_cast<double>(DOUBLING);
            return std::min(BLIND_MOST, FIRST_RATE * std::exp2(doublings));
        }
        return rate;
    }
    const Nanos complete_before = now - *timeout;
    for (const double share :
         meter.new_windows(complete_before, baseline ? WINDOW : FIRST_WINDOW, largest_delay)) {
        baseline = std::max(baseline.value_or(0.0), share);
    }
    meter.forget_before(complete_before - 2 * MEASURED_SPAN);
    if (!baseline || *baseline <= 0) {
        return rate;
    }
    const AnswerMeter::Share recent = meter.recent(complete_before, MEASURED, MEASURED_SPAN, largest_delay);
    if (recent.clean < MEASURED / 3 || !recent.answered) {
        return rate;
    }
    const double refused = std::max(0.0, 1.0 - *recent.answered / *baseline);
    double aim = 0;
    if (refused < REFUSED_AIM / 2) {
        if (recent.sent_per_second < 0.8 * rate) {
            return rate;  // the transfer asks for less than the rate allows
        }
        aim = 1.5 * std::max(recent.sent_per_second, LEAST_RATE);
    } else {
        aim = recent.sent_per_second * (1.0 - refused) / (1.0 - REFUSED_AIM) + STEP;
    }
    const double gain = static_cast<double>(PERIOD) / static_cast<double>(*timeout + recent.span);
    return std::clamp(rate + gain * (aim - rate), LEAST_RATE, MOST_RATE);
}

}  // namespace drovik::fetch
