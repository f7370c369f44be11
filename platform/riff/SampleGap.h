#pragma once
// The one rule by which both AVI writers find what a stream lost before a
// sample, so that both keep the same places: frames for a video stream,
// samples for an audio stream. Media times say it when the sample has them
// (frames, or audio samples, counted since the run began, lost ones
// included); a sample without them goes by its stream times. The sample's
// flags do not matter: after a discontinuity what was lost still keeps its
// place. A writer fills what is missing with placeholders (an empty chunk or
// index entry per frame, silence for samples). No Qt.

#include <cstdint>

namespace th::riff {

struct SampleTimes {
    bool hasTime = false;  // stream time, 100 ns
    std::int64_t start = 0, stop = 0;
    bool hasMedia = false; // media time: frames or samples
    std::int64_t mediaStart = 0, mediaStop = 0;
};

// A media sample's times, by one rule for both writers: a stream time counts
// when GetTime succeeds (a start without a stop included), a media time only
// when GetMediaTime answers S_OK.
template <class Sample>
SampleTimes TimesOf(Sample* sample)
{
    SampleTimes t;
    t.hasTime = sample->GetTime(&t.start, &t.stop) >= 0;
    t.hasMedia = sample->GetMediaTime(&t.mediaStart, &t.mediaStop) == 0;
    return t;
}

// One stream's rule over one run; Reset at each new run.
class SampleGap {
public:
    // unitsPerSecond: frames (10000000 / frame duration) or audio samples per second.
    explicit SampleGap(double unitsPerSecond = 0) : unitsPerSecond_(unitsPerSecond) {}
    void SetUnitsPerSecond(double unitsPerSecond) { unitsPerSecond_ = unitsPerSecond; }
    void Reset();

    // The units missing before a sample that holds `own` units, and notes
    // where it ends. Nothing is missing before the first sample of a run
    // without media times, nor where times go backwards; a gap of more than
    // ten minutes is a new start of the stream, not a loss.
    std::int64_t Missing(const SampleTimes& times, std::int64_t own);

private:
    double unitsPerSecond_;
    bool started_ = false;
    bool prevHadMedia_ = false;
    std::int64_t prevMediaStop_ = 0;
    bool prevHadTime_ = false;
    std::int64_t prevEnd_ = 0;
};

} // namespace th::riff
