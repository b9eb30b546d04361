#pragma once

#include "Model/AIRecords.h"

#include <functional>
#include <mutex>

namespace korvalen {

// Resident memory of the process at the start, the peak and the end of one measurement, in MB of
// 2^20 bytes. Made by a runner when a measurement starts; sample() and finish() are safe from any
// thread.
class PeakMemoryTracker {
public:
    // A reading of the resident size in MB; 0 means the reading failed.
    using Reader = std::function<double()>;

    // Reads the process's resident size.
    PeakMemoryTracker();
    // Tests hand in their own readings.
    explicit PeakMemoryTracker(Reader reader);
    PeakMemoryTracker(const PeakMemoryTracker&) = delete;
    PeakMemoryTracker& operator=(const PeakMemoryTracker&) = delete;

    void sample();
    // Samples once more, then takes the end reading; the peak is never below start, end or any
    // sample.
    AIMemoryStats finish();

    double startMB() const { return startMB_; }
    double peakMB() const;

private:
    Reader reader_;
    mutable std::mutex lock_;
    double startMB_;
    double peakMB_;
};

}  // namespace korvalen
