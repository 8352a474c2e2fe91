// One benchmark line: the operation's time, the floor of its design and its
// physical limit, all measured in the same run, and the two ratios, in a form
// a script can read ("... floor x<R1> limit x<R2>").
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

inline double Seconds(const std::function<void()>& work)
{
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// The best of runs timings of work, after one warm-up run.
inline double BestOf(int runs, const std::function<void()>& work)
{
    work();
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        double time = Seconds(work);
        best = time < best ? time : best;
    }
    return best;
}

inline void ReportLine(const std::string& operation, double seconds, double floor, double limit)
{
    printf("%s: %.1f ms; floor %.1f ms; limit %.1f ms; floor x%.2f limit x%.2f\n", operation.c_str(), seconds * 1e3,
           floor * 1e3, limit * 1e3, seconds / floor, seconds / limit);
}
