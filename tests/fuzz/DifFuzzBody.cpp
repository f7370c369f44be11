#include "DifFuzzBody.h"

#include "platform/dv/DifAudio.h"
#include "platform/dv/DifFrame.h"
#include "platform/dv/DifPacks.h"

#include <cstdlib>
#include <vector>

namespace th::fuzz {

namespace {

using namespace th::dif;

// Results must be in range when there are any; abort() shows the fuzzer a fault.
void check(bool ok)
{
    if (!ok)
        std::abort();
}

void readAll(const std::uint8_t* frame, std::size_t length)
{
    const System system = readSystem(frame, length);
    check(system == System::None || length >= frameSize(system));
    if (const auto tc = readTimecode(frame, length))
        check(tc->hours < 24 && tc->minutes < 60 && tc->seconds < 60 && tc->frames < 30);
    if (const auto dt = readRecordingDateTime(frame, length))
        check(isValidRecDateTime(*dt));
    if (const auto a = readAudioFormat(frame, length))
        check(a->samples >= minSamplesPerFrame(system, a->frequencyHz)
              && a->samples <= maxSamplesPerFrame(system, a->frequencyHz));
}

const std::vector<std::uint8_t>& validFrame(System system, bool twelveBit)
{
    static std::vector<std::uint8_t> frames[2][2];
    auto& f = frames[system == System::Pal625_50][twelveBit];
    if (f.empty()) {
        f.assign(frameSize(system), 0xFF);
        FrameInfo info;
        info.system = system;
        info.timecode = {12, 34, 56, 7, system == System::Ntsc525_60};
        info.recorded = RecDateTime{{2003, 6, 15}, {14, 22, 5}};
        info.audio.frequencyHz = twelveBit ? 32000 : 48000;
        info.audio.quantization = twelveBit ? Quantization::Nonlinear12 : Quantization::Linear16;
        info.audio.samples = minSamplesPerFrame(system, info.audio.frequencyHz);
        writeFrameInfo(f.data(), f.size(), info);
        std::vector<std::int16_t> pcm(2 * 2000, 1234);
        writeAudioSamples(f.data(), f.size(), system, info.audio.quantization, pcm.data(), info.audio.samples);
    }
    return f;
}

} // namespace

void DifFrameOne(const std::uint8_t* data, std::size_t size)
{
    // The input itself, in a buffer of exactly its size.
    const std::vector<std::uint8_t> raw(data, data + size);
    readAll(raw.empty() ? nullptr : raw.data(), raw.size());

    // Every five bytes as a pack of each kind.
    for (std::size_t i = 0; i + 5 <= size && i < 4096; ++i) {
        const std::uint8_t* p = data + i;
        if (const auto tc = parseTimecodePack(p))
            check(timecodePack(*tc)[0] == kPackTimecode);
        if (const auto d = parseRecDatePack(p))
            check(d->day >= 1 && d->day <= daysInMonth(d->year, d->month));
        parseRecTimePack(p);
        parseVauxSourcePack(p);
        parseVauxSourceControlPack(p);
        if (const auto a = parseAauxSourcePack(p))
            check(aauxSourcePack(*a).has_value());
        parseAauxSourceControlPack(p);
    }

    // Edits over a valid frame: byte 0 picks the system, the audio and
    // whether to cut the frame short; then (offset, value) quadruples.
    if (size < 1)
        return;
    const System system = data[0] & 1 ? System::Pal625_50 : System::Ntsc525_60;
    std::vector<std::uint8_t> frame = validFrame(system, (data[0] & 2) != 0);
    for (std::size_t i = 1; i + 4 <= size; i += 4) {
        const std::size_t offset = (static_cast<std::size_t>(data[i]) << 16 | data[i + 1] << 8 | data[i + 2]) % frame.size();
        frame[offset] = data[i + 3];
    }
    if (data[0] & 4)
        frame.resize(size >= 3 ? (static_cast<std::size_t>(data[1]) << 8 | data[2]) * 3 % frame.size() : 0);
    readAll(frame.empty() ? nullptr : frame.data(), frame.size());
}

} // namespace th::fuzz
