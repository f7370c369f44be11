#include "platform/riff/PcmRate.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

namespace th::riff {

PcmRateConverter::~PcmRateConverter()
{
    swr_free(&swr_);
}

void PcmRateConverter::Reset()
{
    swr_free(&swr_);
    channels_ = 0;
    from_ = to_ = 0;
    in_ = out_ = 0;
    pending_.clear();
}

bool PcmRateConverter::setUp(int channels, std::uint32_t from, std::uint32_t to)
{
    if (swr_ && channels == channels_ && from == from_ && to == to_)
        return true;
    Reset();
    if (channels <= 0 || channels > 8 || from == 0 || to == 0)
        return false;
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    const int rc = swr_alloc_set_opts2(&swr_, &layout, AV_SAMPLE_FMT_S16, static_cast<int>(to), &layout,
                                       AV_SAMPLE_FMT_S16, static_cast<int>(from), 0, nullptr);
    av_channel_layout_uninit(&layout);
    if (rc < 0 || !swr_ || swr_init(swr_) < 0) {
        swr_free(&swr_);
        return false;
    }
    channels_ = channels;
    from_ = from;
    to_ = to;
    return true;
}

// The sample frames out that `frames` more in bring the run to.
std::int64_t PcmRateConverter::step(std::int64_t frames)
{
    in_ += frames;
    const std::int64_t target = (in_ * to_ + from_ / 2) / from_;
    const std::int64_t n = std::max<std::int64_t>(0, target - out_);
    out_ += n;
    return n;
}

std::int64_t PcmRateConverter::Lost(std::int64_t frames, int channels, std::uint32_t from, std::uint32_t to)
{
    if (frames <= 0 || !setUp(channels, from, to))
        return 0;
    return step(frames);
}

bool PcmRateConverter::Convert(const std::int16_t* in, std::int64_t frames, int channels, std::uint32_t from,
                               std::uint32_t to, std::vector<std::int16_t>& out)
{
    out.clear();
    if (!setUp(channels, from, to))
        return false;
    if (frames <= 0)
        return true;
    const int room = swr_get_out_samples(swr_, static_cast<int>(frames));
    if (room < 0)
        return false;
    const std::size_t before = pending_.size();
    pending_.resize(before + static_cast<std::size_t>(room) * static_cast<std::size_t>(channels));
    auto* dst = reinterpret_cast<std::uint8_t*>(pending_.data() + before);
    const auto* src = reinterpret_cast<const std::uint8_t*>(in);
    const int got = swr_convert(swr_, &dst, room, &src, static_cast<int>(frames));
    if (got < 0) {
        pending_.resize(before);
        return false;
    }
    pending_.resize(before + static_cast<std::size_t>(got) * static_cast<std::size_t>(channels));
    // The filter's delay holds back a few samples at the start of a run: they
    // are given as silence there, so that the count stays exact.
    const auto want = static_cast<std::size_t>(step(frames)) * static_cast<std::size_t>(channels);
    const std::size_t have = std::min(want, pending_.size());
    out.assign(want - have, 0);
    out.insert(out.end(), pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(have));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(have));
    return true;
}

} // namespace th::riff
