#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace drovik::fetch {

using Nanos = std::int64_t;

// The answered share of one server's clean GETs (the only GET alive for their
// chunk), by send time. A clean GET asked again before its time-out was watched
// only up to that age, so shares are Kaplan-Meier estimates over the ages seen.
class AnswerMeter {
public:
    struct Share {
        std::optional<double> answered;  // nothing when too few GETs were watched to the end
        double sent_per_second = 0;      // every GET of the span, clean or not
        std::uint64_t clean = 0;
        Nanos span = 0;  // of send time
    };

    explicit AnswerMeter(Nanos now);

    void sent(Nanos at, bool clean);
    void answered(Nanos sent_at, Nanos age);
    void censored(Nanos sent_at, Nanos age);

    // The newest GETs sent before `complete_before` (all of their replies are in):
    // at least `least_clean` clean ones, from at most `longest` of send time.
    Share recent(Nanos complete_before, std::uint64_t least_clean, Nanos longest, Nanos largest_delay) const;
    // Complete spans of at least `clean_per_window` clean GETs not yet handed out,
    // oldest first, each as its answered share (when it can be told).
    std::vector<double> new_windows(Nanos complete_before, std::uint64_t clean_per_window,
                                    Nanos largest_delay);
    // Forgets what neither query can need any more.
    void forget_before(Nanos at);

private:
    struct Bin {
        std::uint64_t clean = 0;
        std::uint64_t all = 0;
        std::vector<Nanos> answered_ages;
        std::vector<Nanos> censored_ages;
    };
    Bin* bin_of(Nanos at);
    std::int64_t index_of(Nanos at) const;
    std::optional<double> share(std::int64_t from, std::int64_t to, Nanos largest_delay) const;

    std::deque<Bin> bins;
    std::int64_t first_index;   // index of bins.front()
    std::int64_t window_start;  // first bin not yet in a handed-out window
};

}  // namespace drovik::fetch
