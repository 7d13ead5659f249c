// Ours beside the peer in short alternating rounds: a disturbance of the machine (another
// build, the disk flushing) then falls on both sides of a round alike, and the median of the
// per-round ratios is what a comparison rests on, with its quartiles as the spread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_of(const std::function<void()>& run) {
    const auto start = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Value at fraction q of the sorted samples (nearest rank).
inline double quantile(std::vector<double> samples, double q) {
    std::sort(samples.begin(), samples.end());
    const auto at = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[at];
}

struct Comparison {
    std::vector<double> ours;   // seconds per operation, one per round
    std::vector<double> peer;   // the same for the peer
    std::vector<double> ratio;  // peer / ours per round: above 1 means ours is faster
};

// Runs `rounds` rounds; each times ours and the peer once, the order swapped every round so
// that neither always runs on the other's warm (or dirty) cache.
inline Comparison alternate(int rounds, double operations, const std::function<void()>& ours,
                            const std::function<void()>& peer) {
    Comparison c;
    for (int round = 0; round < rounds; ++round) {
        double our_seconds = 0;
        double peer_seconds = 0;
        if (round % 2 == 0) {
            our_seconds = seconds_of(ours);
            peer_seconds = seconds_of(peer);
        } else {
            peer_seconds = seconds_of(peer);
            our_seconds = seconds_of(ours);
        }
        c.ours.push_back(our_seconds / operations);
        c.peer.push_back(peer_seconds / operations);
        c.ratio.push_back(peer_seconds / our_seconds);
    }
    return c;
}

// One line of the table tools/bench.sh gathers at its end: tab-separated after "summary".
inline void summary(const std::string& measure, const std::string& ours, const std::string& peer,
                    const Comparison& c, double target) {
    const double median = quantile(c.ratio, 0.5);
    std::printf("summary\t%s\t%s\t%s\t%.2f (%.2f-%.2f)\t>= %.2f\t%s\n", measure.c_str(),
                ours.c_str(), peer.c_str(), median, quantile(c.ratio, 0.25),
                quantile(c.ratio, 0.75), target, median >= target ? "yes" : "NO");
}

inline std::string per_op(double seconds, const char* unit) {
    char text[64];
    if (std::string(unit) == "us") {
        std::snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    } else if (std::string(unit) == "ms") {
        std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f ns", seconds * 1e9);
    }
    return text;
}

// One row per comparison on the program's own output.
inline void print_row(const char* name, const Comparison& c, const char* unit) {
    std::printf("%-34s %12s %12s %8.2f  (q1 %.2f, q3 %.2f, min %.2f, max %.2f)\n", name,
                per_op(quantile(c.ours, 0.5), unit).c_str(),
                per_op(quantile(c.peer, 0.5), unit).c_str(), quantile(c.ratio, 0.5),
                quantile(c.ratio, 0.25), quantile(c.ratio, 0.75), quantile(c.ratio, 0.0),
                quantile(c.ratio, 1.0));
}

inline void print_header(int rounds, const char* peer_name) {
    std::printf("medians of %d alternating rounds; ratio = %s time / our time, per round\n", rounds,
                peer_name);
    std::printf("%-34s %12s %12s %8s\n", "measure", "ours", "peer", "ratio");
}

}  // namespace bench
