// One benchmark line: the operation's time, the floor of its design and its
// physical limit, all measured in the same run, and the two ratios, in a form
// a script can read ("... floor x<R1> limit x<R2>").
//
// A shared machine has busy moments. Each line is therefore the median of
// several runs, and the operation, its floor and its limit take turns within
// each round, so a busy moment weighs on all of them alike; the spread of the
// runs (min..max) is printed beside each median.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

inline double Seconds(const std::function<void()>& work)
{
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// The runs of one measured thing (seconds, bytes, ...).
struct Samples {
    std::vector<double> values;

    double Median() const
    {
        if (values.empty())
            return 0;
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const size_t middle = sorted.size() / 2;
        return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
    double Min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double Max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
};

/// The number of rounds every line is the median of.
constexpr int kRounds = 5;

/// Runs every work once as a warm-up, then rounds times in turn (one of each
/// per round); the timings of each work, in the order given.
inline std::vector<Samples> Interleaved(int rounds, const std::vector<std::function<void()>>& works)
{
    for (const auto& work : works)
        work();
    std::vector<Samples> samples(works.size());
    for (int round = 0; round < rounds; ++round)
        for (size_t i = 0; i < works.size(); ++i)
            samples[i].values.push_back(Seconds(works[i]));
    return samples;
}

/// "12.3 ms (11.9..14.0)": the median and the spread, scaled by unit.
inline std::string MedianText(const Samples& samples, double scale, const char* unit)
{
    char text[96];
    snprintf(text, sizeof text, "%.1f %s (%.1f..%.1f)", samples.Median() * scale, unit, samples.Min() * scale,
             samples.Max() * scale);
    return text;
}

/// One line of medians; the ratios are those of the medians.
inline void ReportLine(const std::string& operation, const Samples& seconds, const Samples& floor,
                       const Samples& limit)
{
    printf("%s, median of %zu: %s; floor %s; limit %s; floor x%.2f limit x%.2f\n", operation.c_str(),
           seconds.values.size(), MedianText(seconds, 1e3, "ms").c_str(), MedianText(floor, 1e3, "ms").c_str(),
           MedianText(limit, 1e3, "ms").c_str(), seconds.Median() / floor.Median(),
           seconds.Median() / limit.Median());
}

/// The same for byte counts (MB).
inline void ReportBytesLine(const std::string& operation, const Samples& bytes, const Samples& floor,
                            const Samples& limit)
{
    const double mb = 1.0 / 1048576.0;
    printf("%s, median of %zu: %s sent; floor %s; limit %s; floor x%.2f limit x%.2f\n", operation.c_str(),
           bytes.values.size(), MedianText(bytes, mb, "MB").c_str(), MedianText(floor, mb, "MB").c_str(),
           MedianText(limit, mb, "MB").c_str(), bytes.Median() / floor.Median(), bytes.Median() / limit.Median());
}

