#include "Model/PeakMemoryTracker.h"

#include "Platform/System/ResidentMemory.h"

#include <algorithm>

namespace korvalen {

PeakMemoryTracker::PeakMemoryTracker() : PeakMemoryTracker([] { return sys::residentMB(); })
{}

PeakMemoryTracker::PeakMemoryTracker(Reader reader) : reader_(std::move(reader)), startMB_(reader_()), peakMB_(startMB_)
{}

void PeakMemoryTracker::sample()
{
    const double reading = reader_();
    std::lock_guard guard(lock_);
    if (reading >= peakMB_) peakMB_ = reading;
}

AIMemoryStats PeakMemoryTracker::finish()
{
    sample();
    const double endMB = reader_();
    double peak;
    {
        std::lock_guard guard(lock_);
        peakMB_ = std::max(peakMB_, endMB);
        peak = peakMB_;
    }
    return AIMemoryStats{startMB_, peak, endMB};
}

double PeakMemoryTracker::peakMB() const
{
    std::lock_guard guard(lock_);
    return peakMB_;
}

}  // namespace korvalen
