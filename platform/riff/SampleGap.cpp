#include "platform/riff/SampleGap.h"

#include <cmath>

namespace th::riff {

namespace {

constexpr double kMaxGapSeconds = 600;
constexpr double kUnitsPer100ns = 1e-7;

} // namespace

void SampleGap::Reset()
{
    started_ = false;
    prevHadMedia_ = false;
    prevMediaStop_ = 0;
    prevHadTime_ = false;
    prevEnd_ = 0;
}

std::int64_t SampleGap::Missing(const SampleTimes& t, std::int64_t own)
{
    std::int64_t missing = 0;
    if (t.hasMedia && (prevHadMedia_ || !started_)) {
        // Media times count from the start of the run: what lies before the
        // first sample was lost as much as what lies between two.
        missing = t.mediaStart - prevMediaStop_;
    } else if (started_ && t.hasTime && prevHadTime_ && unitsPerSecond_ > 0) {
        // Halves to the even neighbour, as the writers round everywhere.
        const double span = static_cast<double>(t.stop - prevEnd_) * unitsPerSecond_ * kUnitsPer100ns;
        missing = static_cast<std::int64_t>(std::nearbyint(span)) - own;
    }
    if (missing < 0 || (unitsPerSecond_ > 0 && static_cast<double>(missing) > kMaxGapSeconds * unitsPerSecond_))
        missing = 0;
    started_ = true;
    prevHadMedia_ = t.hasMedia;
    if (t.hasMedia)
        prevMediaStop_ = t.mediaStop > t.mediaStart ? t.mediaStop : t.mediaStart + own;
    prevHadTime_ = t.hasTime;
    if (t.hasTime) {
        const double ownTime = unitsPerSecond_ > 0 ? static_cast<double>(own) / unitsPerSecond_ / kUnitsPer100ns : 0;
        prevEnd_ = t.stop > t.start ? t.stop : t.start + static_cast<std::int64_t>(std::nearbyint(ownTime));
    }
    return missing;
}

} // namespace th::riff
