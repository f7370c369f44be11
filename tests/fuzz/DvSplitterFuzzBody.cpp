#include "DvSplitterFuzzBody.h"

#include "platform/dv/DifAudio.h"
#include "platform/dv/DifFrame.h"
#include "platform/media/DVSplitter.h"
#include "platform/media/DVVideoDecoder.h"

#include <cstdlib>
#include <vector>

namespace th::fuzz {

namespace {

using namespace th::dif;

// abort() shows the fuzzer a fault.
void check(bool ok)
{
    if (!ok)
        std::abort();
}

void split(const std::uint8_t* frame, std::size_t length, int resolution)
{
    th::media::DvFrameFacts facts;
    const HRESULT hr = th::media::ReadDvFrame(frame, length, &facts);
    check(hr == S_OK || hr == th::media::kFrameRejected);
    if (hr != S_OK) {
        check(facts.system == System::None);
        return;
    }
    check(length >= frameSize(facts.system));
    static std::vector<std::int16_t> pcm(2 * th::media::kMaxDvAudioSamples);
    const HRESULT ha = th::media::DecodeDvAudio(frame, length, facts, pcm.data(), th::media::kMaxDvAudioSamples);
    check(ha == S_OK || ha == th::media::kFrameRejected);
    check(ha != S_OK || (facts.audioValid && facts.audio.samples <= th::media::kMaxDvAudioSamples));

    static th::media::DvPictureDecoder decoder;
    static std::vector<std::uint8_t> pixels(720 * 576 * 3);
    th::media::DibLayout layout;
    const HRESULT hv = decoder.decode(frame, length, resolution, pixels.data(), pixels.size(), &layout);
    check(hv == S_OK || hv == th::media::kFrameRejected);
    if (hv == S_OK) {
        const auto want = th::media::dvPictureSize(facts.system, resolution);
        check(layout.width == want.width && layout.height == want.height);
    }
}

const std::vector<std::uint8_t>& validFrame(System system, bool twelveBit)
{
    static std::vector<std::uint8_t> frames[2][2];
    auto& f = frames[system == System::Pal625_50][twelveBit];
    if (f.empty()) {
        f.assign(frameSize(system), 0);
        FrameInfo info;
        info.system = system;
        info.recorded = RecDateTime{{2003, 6, 15}, {14, 22, 5}};
        info.audio.frequencyHz = twelveBit ? 32000 : 48000;
        info.audio.quantization = twelveBit ? Quantization::Nonlinear12 : Quantization::Linear16;
        info.audio.samples = maxSamplesPerFrame(system, info.audio.frequencyHz);
        writeFrameInfo(f.data(), f.size(), info);
        std::vector<std::int16_t> pcm(2 * 2000);
        for (std::size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<std::int16_t>(i * 997);
        writeAudioSamples(f.data(), f.size(), system, info.audio.quantization, pcm.data(), info.audio.samples);
    }
    return f;
}

} // namespace

void DvSplitterFrameOne(const std::uint8_t* data, std::size_t size)
{
    const int resolution = DVRESOLUTION_FULL + (size > 0 ? data[0] % 4 : 3);
    // The input itself, in a buffer of exactly its size.
    {
        std::vector<std::uint8_t> own(data, data + size);
        split(own.empty() ? nullptr : own.data(), own.size(), resolution);
    }
    if (size < 1)
        return;
    // Edits over a valid frame: byte 0 picks system, audio and length; then
    // four bytes an edit (a 24-bit offset and the value).
    const System system = data[0] & 0x10 ? System::Ntsc525_60 : System::Pal625_50;
    std::vector<std::uint8_t> frame = validFrame(system, (data[0] & 0x20) != 0);
    for (std::size_t i = 1; i + 3 < size; i += 4) {
        const std::size_t at = (std::size_t(data[i]) << 16 | std::size_t(data[i + 1]) << 8 | data[i + 2]) % frame.size();
        frame[at] = data[i + 3];
    }
    if (data[0] & 0x40)
        frame.resize(frame.size() - 1 - (data[0] & 0x0F) * 1000);
    split(frame.data(), frame.size(), resolution);
}

} // namespace th::fuzz
