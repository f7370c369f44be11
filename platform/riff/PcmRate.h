#pragma once
// Brings 16-bit PCM from the rate it arrives at to the rate a file declares,
// for the AVI writers: a file holds its sound at one rate, and a tape can
// change its sampling rate from one recording to the next. Over a run of
// converted sound the samples written stay in step with the samples received
// (out = in × to / from, rounded, counted over the whole run), so that the
// sound stays as long as the picture it came with. No Qt.

#include <cstdint>
#include <vector>

struct SwrContext;

namespace th::riff {

class PcmRateConverter {
public:
    PcmRateConverter() = default;
    ~PcmRateConverter();
    PcmRateConverter(const PcmRateConverter&) = delete;
    PcmRateConverter& operator=(const PcmRateConverter&) = delete;

    // Converts `frames` sample frames of interleaved 16-bit PCM with
    // `channels` channels at `from` Hz to `to` Hz into `out` (replaced; sample
    // frames: out.size() / channels). A new rate or channel count begins a new
    // run. False when the conversion cannot be set up.
    bool Convert(const std::int16_t* in, std::int64_t frames, int channels, std::uint32_t from, std::uint32_t to,
                 std::vector<std::int16_t>& out);
    // The sample frames at `to` Hz that `frames` lost ones at `from` Hz take
    // in the run (filled with silence by the writer).
    std::int64_t Lost(std::int64_t frames, int channels, std::uint32_t from, std::uint32_t to);
    // The run is over (the sound arrives at the file's rate again, or a new
    // file or run begins).
    void Reset();

private:
    bool setUp(int channels, std::uint32_t from, std::uint32_t to);
    std::int64_t step(std::int64_t frames);

    SwrContext* swr_ = nullptr;
    int channels_ = 0;
    std::uint32_t from_ = 0, to_ = 0;
    std::int64_t in_ = 0, out_ = 0; // sample frames of the run
    std::vector<std::int16_t> pending_; // converted, not yet handed out
};

} // namespace th::riff
