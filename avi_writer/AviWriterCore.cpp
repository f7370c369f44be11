#include "avi_writer/AviWriterCore.h"

#include "platform/dshow/MediaTypes.h"
#include "platform/riff/DvFormat.h"
#include "platform/dshow/StreamingThread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

using th::riff::FourCC;
using th::riff::Put32;

namespace {

using Guard = std::lock_guard<WriterLock>;

std::size_t WideLength(LPCOLESTR s)
{
    std::size_t n = 0;
    if (s)
        while (s[n] != 0)
            ++n;
    return n;
}

// The audio pins of the process wait on this for the event to be set (the
// event alone cannot be woken by a stop); every video pin tells it.
struct InterleaveSignal {
    std::mutex Lock;
    std::condition_variable Changed;
    // After the event was set: a waiter either saw it or is woken.
    void Notify()
    {
        { std::lock_guard<std::mutex> hold(Lock); }
        Changed.notify_all();
    }
};

InterleaveSignal& TheInterleaveSignal()
{
    static InterleaveSignal signal;
    return signal;
}

std::string ToSystemCodePage(LPCOLESTR s)
{
    return s ? th::com::Utf16ToUtf8(s) : std::string();
}

} // namespace

std::int64_t Nearest(double x)
{
    // The default rounding mode rounds halves to the even neighbour.
    const double r = std::nearbyint(x);
    if (!(r > static_cast<double>(std::numeric_limits<std::int64_t>::min())))
        return std::numeric_limits<std::int64_t>::min();
    if (!(r < static_cast<double>(std::numeric_limits<std::int64_t>::max())))
        return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(r);
}

AviWriterCore::AviWriterCore(WriterLock& lock, OpenDmlLimits limits) : OpenDmlFileWriter(lock, limits)
{
    FInterleaveEvent = CreateEventA(nullptr, TRUE, FALSE, kInterleaveEventName);
    // Another writer may have left the shared event set.
    if (FInterleaveEvent)
        ResetEvent(FInterleaveEvent);
    FAudioTime = 0;
}

AviWriterCore::~AviWriterCore()
{
    CloseFile();
    if (FInterleaveEvent)
        CloseHandle(FInterleaveEvent);
}

// --- Formats --------------------------------------------------------------------------------

void AviWriterCore::RecordMediaFormat(const AM_MEDIA_TYPE& mt)
{
    Guard lock(FFilterLock);
    if (mt.majortype == MEDIATYPE_Video)
        FDVType = 2;
    else if (mt.majortype == MEDIATYPE_Interleaved)
        FDVType = 1;

    const BYTE* format = mt.pbFormat;
    const std::size_t formatSize = format ? mt.cbFormat : 0;
    if (mt.formattype == FORMAT_WaveFormatEx && formatSize > 0) {
        FStreamCount = 2;
        // wFormatTag .. cbSize; a short block leaves the rest zero.
        std::memset(FWaveFormat, 0, sizeof FWaveFormat);
        std::memcpy(FWaveFormat, format, std::min(formatSize, sizeof FWaveFormat));
        std::memcpy(FInWave, FWaveFormat, sizeof FInWave);
    }
    if (mt.formattype == FORMAT_VideoInfo && formatSize >= sizeof(VIDEOINFOHEADER)) {
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, format, sizeof vih);
        const REFERENCE_TIME avg = vih.AvgTimePerFrame;
        if (FFrameDuration == 0)
            FFrameDuration = avg;
        FMicroSecPerFrame = static_cast<std::uint32_t>(avg / 10);
        FStreamCount = 1;
        FWidth = vih.bmiHeader.biWidth;
        FHeight = vih.bmiHeader.biHeight;
        std::memcpy(FBitmapInfo, format + offsetof(VIDEOINFOHEADER, bmiHeader), sizeof FBitmapInfo);
        FVideoFccType = FourCC("vids");
        FVideoScale = static_cast<std::uint32_t>(avg);
        FVideoRate = 10000000;
    }
    if (mt.formattype == FORMAT_DvInfo && formatSize > 0) {
        const bool ntsc = mt.lSampleSize != th::riff::dv::kPalFrameBytes;
        FMicroSecPerFrame = th::riff::dv::MicroSecPerFrame(ntsc);
        FStreamCount = 1;
        FWidth = 0;
        FHeight = 0;
        std::memset(FDVInfo, 0, sizeof FDVInfo);
        std::memcpy(FDVInfo, format, std::min(formatSize, sizeof FDVInfo));
        FVideoFccType = FourCC("iavs");
        FVideoScale = static_cast<std::uint32_t>(th::riff::dv::FramePeriod(ntsc));
        FVideoRate = 10000000;
    }
}

// --- File sink ------------------------------------------------------------------------------

HRESULT AviWriterCore::SetFileName(LPCOLESTR fileName)
{
    if (WideLength(fileName) > kMaxFileNameChars)
        return HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    std::string name = ToSystemCodePage(fileName);
    if (name.empty())
        return E_OUTOFMEMORY;
    Guard lock(FFilterLock);
    CloseFile();
    // A new name begins a new use of the writer.
    ResetWriteStatus();
    SetNextFileName(std::move(name));
    const DWORD r = OpenFile();
    const HRESULT closed = CloseFile();
    FArmed = true;
    if (r != 0)
        return HRESULT_FROM_WIN32(r);
    return FAILED(closed) ? closed : S_OK;
}

void AviWriterCore::Arm(bool armed)
{
    Guard lock(FFilterLock);
    FArmed = armed;
}

HRESULT AviWriterCore::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt)
{
    if (!fileName)
        return E_POINTER;
    // The name changes on the streaming thread at a file switch: it is read
    // under the lock.
    std::u16string name;
    {
        Guard lock(FFilterLock);
        name = th::com::Utf8ToUtf16(FileName());
    }
    *fileName = th::com::CoTaskStrDup(name);
    if (pmt)
        std::memset(pmt, 0, sizeof *pmt);
    return *fileName ? S_OK : E_OUTOFMEMORY;
}

HRESULT AviWriterCore::ChangeFileName(LPCOLESTR name, std::int64_t sampleTime)
{
    std::string next = ToSystemCodePage(name);
    Guard lock(FFilterLock);
    FNewFileName = std::move(next);
    FChangeTime = sampleTime;
    FChangePending = true;
    return S_OK;
}

void AviWriterCore::BeginRun(AviPinState* video, AviAudioPinState* audio)
{
    std::unique_lock<std::mutex> receiving;
    if (audio)
        receiving = std::unique_lock<std::mutex>(audio->FReceiveLock);
    Guard lock(FFilterLock);
    if (video)
        video->FGap.Reset();
    if (audio) {
        audio->FGap.Reset();
        audio->FRate.Reset();
    }
    FAudioTime = 0;
    FAudioWrittenAhead = 0;
    if (FInterleaveEvent)
        ResetEvent(FInterleaveEvent);
}

// --- Reception --------------------------------------------------------------------------------

DWORD AviWriterCore::writeChunk(AviPinState& pin, std::uint32_t id, const BYTE* data, std::size_t len)
{
    // Header and data in one buffer, so that the chunk goes out in one write.
    pin.FChunk.resize(len + 8);
    Put32(pin.FChunk.data(), id);
    Put32(pin.FChunk.data() + 4, static_cast<std::uint32_t>(len));
    if (len > 0)
        std::memcpy(pin.FChunk.data() + 8, data, len);
    return WriteMovie(pin.FChunk.data(), pin.FChunk.size());
}

HRESULT AviWriterCore::ReceiveVideo(AviPinState& pin, IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;
    try {
        return writeVideoSample(pin, sample);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT AviWriterCore::writeVideoSample(AviPinState& pin, IMediaSample* sample)
{
    Guard lock(FFilterLock);
    REFERENCE_TIME t0 = 0, t1 = 0;
    sample->GetTime(&t0, &t1);

    // Let the audio through once the video has caught up with it.
    if (FInterleaveEvent) {
        if (FAudioTime.load(std::memory_order_relaxed) > t0) {
            ResetEvent(FInterleaveEvent);
        } else {
            SetEvent(FInterleaveEvent);
            TheInterleaveSignal().Notify();
        }
    }

    if (!IsFileOpen() && !FArmed)
        return S_OK;
    BYTE* data = nullptr;
    if (const HRESULT hr = sample->GetPointer(&data); FAILED(hr))
        return hr;

    if (FFrameDuration == 0)
        FFrameDuration = t1 - t0;
    if (FFrameDuration > 0)
        pin.FGap.SetUnitsPerSecond(10000000.0 / static_cast<double>(FFrameDuration));
    std::int64_t dropped = pin.FGap.Missing(th::riff::TimesOf(sample), 1);

    if (FChangePending && FChangeTime <= t0) {
        // Frames lost just before a scene's first frame were lost while the
        // scene before it was being recorded: they end its file, as in one
        // file they end its scene. Before the first scene (the temporary
        // file, which holds no frame) they stay with the first.
        if (IsFileOpen() && FVideoFrames > 0 && dropped > 0) {
            endFileWithDropped(pin, dropped);
            dropped = 0;
        }
        // This sample is the first of the new file; the old one is finished
        // off this thread, so that a slow disk does not hold the stream.
        SwitchFile(FNewFileName);
    }
    if (!IsFileOpen())
        OpenFile();
    // Without a file (it could not be opened) nothing is counted, so that the
    // counts and indexes describe the file on disk; the times still move on.
    const bool open = IsFileOpen();

    if (open)
        ++FVideoFrames;
    const LONG actual = sample->GetActualDataLength();
    const std::size_t len = actual > 0 ? static_cast<std::size_t>(actual) : 0;
    if (open)
        NoteVideoChunkSize(static_cast<std::uint32_t>(len + 8));

    if (open && dropped > 0) {
        FVideoFrames += dropped;
        for (std::int64_t i = 0; i < dropped; ++i)
            AddVideoIndexEntry(0);
    }

    if (!open)
        return FAILED(WriteError()) ? WriteError() : S_FALSE;
    const DWORD r = writeChunk(pin, VideoChunkId(), data, len);
    if (r != 0) {
        --FVideoFrames; // counted above, never written
        TakeBackDroppedEntries(dropped);
        return WriteError();
    }
    AddVideoIndexEntry(static_cast<std::uint32_t>(len));
    return S_OK;
}

void AviWriterCore::endFileWithDropped(AviPinState& pin, std::int64_t dropped)
{
    FVideoFrames += dropped;
    for (std::int64_t i = 0; i < dropped; ++i)
        AddVideoIndexEntry(0);
    // Their sound too, so that the file's sound stays as long as its
    // pictures; the audio pin leaves it out of the gap it finds next.
    const std::uint32_t rate = WaveSamplesPerSec();
    const std::uint32_t align = WaveBlockAlign();
    if (FDVType != 2 || rate == 0 || align == 0 || FFrameDuration <= 0)
        return;
    const std::int64_t samples =
        Nearest(static_cast<double>(dropped) * static_cast<double>(FFrameDuration) / 10000000.0 * rate);
    const std::int64_t bytes = samples * align;
    if (samples <= 0 || bytes >= 0x7FFFFFFF)
        return;
    pin.FChunk.assign(static_cast<std::size_t>(bytes) + 8, 0);
    Put32(pin.FChunk.data(), FourCC("01wb"));
    Put32(pin.FChunk.data() + 4, static_cast<std::uint32_t>(bytes));
    if (WriteMovie(pin.FChunk.data(), pin.FChunk.size()) != 0)
        return;
    AddAudioIndexEntry(static_cast<std::uint32_t>(bytes));
    NoteAudioChunkSize(static_cast<std::uint32_t>(bytes + 8));
    FAudioSamples += samples;
    FAudioIndexSamples += samples;
    FAudioWrittenAhead = samples;
}

HRESULT AviWriterCore::ReceiveAudio(AviAudioPinState& pin, IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;
    try {
        return writeAudioSample(pin, sample);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// The wait is cut into short slices so that a graph that is stopping does not
// hold its audio thread for the whole time-out waiting for video that the stop
// has already cut off; while the graph runs it is one wait of the full length.
void AviWriterCore::waitForVideo()
{
    // Woken by a video pin that lets the audio through and by a stop of this
    // streaming thread; the event's state is what counts.
    InterleaveSignal& signal = TheInterleaveSignal();
    const th::dshow::StreamingThread::StopWaker waker([&signal] { signal.Notify(); });
    std::unique_lock<std::mutex> lock(signal.Lock);
    signal.Changed.wait_for(lock, std::chrono::milliseconds(kInterleaveWaitMs), [this] {
        return WaitForSingleObject(FInterleaveEvent, 0) == WAIT_OBJECT_0 ||
               th::dshow::StreamingThread::StopRequestedHere();
    });
}

void AviWriterCore::noteAudioType(IMediaSample* sample)
{
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) != S_OK || !changed)
        return;
    if (changed->majortype == MEDIATYPE_Audio && changed->formattype == FORMAT_WaveFormatEx && changed->pbFormat &&
        changed->cbFormat >= 16) {
        std::memset(FInWave, 0, sizeof FInWave);
        std::memcpy(FInWave, changed->pbFormat, std::min<std::size_t>(changed->cbFormat, sizeof FInWave));
    }
    th::dshow::DeleteMediaType(changed);
}

HRESULT AviWriterCore::writeAudioSample(AviAudioPinState& pin, IMediaSample* sample)
{
    std::lock_guard<std::mutex> receiving(pin.FReceiveLock);
    REFERENCE_TIME t0 = 0, t1 = 0;
    sample->GetTime(&t0, &t1);
    FAudioTime.store(t0, std::memory_order_relaxed);
    // Wait (outside the filter lock) for a video sample that starts at or
    // after this buffer; after the time-out the audio goes on regardless.
    if (FInterleaveEvent)
        waitForVideo();

    Guard lock(FFilterLock);
    // Also while nothing is written, so that the next file knows the sound's format.
    noteAudioType(sample);
    if (!IsFileOpen() && !FArmed)
        return S_OK;
    BYTE* data = nullptr;
    if (const HRESULT hr = sample->GetPointer(&data); FAILED(hr))
        return hr;
    FAudioTime.store(t1, std::memory_order_relaxed);
    if (!IsFileOpen())
        OpenFile();
    const bool open = IsFileOpen();

    // A file declares the rate of the sound it holds: the rate of its first
    // sound. Sound at another rate after it is brought to the file's rate.
    const std::uint32_t inRate = th::riff::Get32(FInWave + 4);
    const std::uint16_t inChannels = th::riff::Get16(FInWave + 2);
    const std::uint16_t inBits = th::riff::Get16(FInWave + 14);
    if (open && FAudioSamples == 0 && inRate != 0)
        std::memcpy(FWaveFormat, FInWave, sizeof FWaveFormat);
    const std::uint32_t rate = WaveSamplesPerSec();
    const bool convert = open && inRate != 0 && inRate != rate && inBits == 16 && inChannels > 0 &&
                         th::riff::Get16(FWaveFormat + 2) == inChannels && th::riff::Get16(FWaveFormat + 14) == 16;
    if (!convert)
        pin.FRate.Reset();
    const std::uint32_t arriving = convert ? inRate : rate;

    const th::riff::SampleTimes times = th::riff::TimesOf(sample);
    std::int64_t own = times.hasMedia ? times.mediaStop - times.mediaStart
                                      : Nearest(static_cast<double>(t1 - t0) / 10000000.0 * arriving);
    pin.FGap.SetUnitsPerSecond(arriving);
    std::int64_t total = pin.FGap.Missing(times, own) + own;
    const LONG actual = sample->GetActualDataLength();
    std::size_t len = actual > 0 ? static_cast<std::size_t>(actual) : 0;
    if (convert) {
        const std::int64_t lost = pin.FRate.Lost(total - own, inChannels, inRate, rate);
        const std::size_t frameBytes = std::size_t(inChannels) * 2;
        if (!pin.FRate.Convert(reinterpret_cast<const std::int16_t*>(data), std::int64_t(len / frameBytes),
                              inChannels, inRate, rate, pin.FConverted))
            pin.FConverted.clear();
        data = reinterpret_cast<BYTE*>(pin.FConverted.data());
        len = pin.FConverted.size() * sizeof(std::int16_t);
        own = std::int64_t(len / frameBytes);
        total = own + lost;
    }
    if (pin.FNominalSamples == 0)
        pin.FNominalSamples = own;
    // The silence the video pin wrote into the last file for frames lost
    // before this file's first.
    const std::int64_t ahead = std::min(std::max<std::int64_t>(0, total - own), FAudioWrittenAhead);
    total -= ahead;
    FAudioWrittenAhead = 0;

    if (open && rate > 0) {
        const std::int64_t nominal = pin.FNominalSamples;
        std::int64_t gap = total - own;
        std::int64_t lost = 0;
        while (gap > 0) {
            // Without a nominal size yet the gap cannot be cut: one piece.
            const std::int64_t piece = nominal <= 0 || gap <= nominal + nominal / 10 ? gap : nominal;
            const std::int64_t bytes = Nearest(static_cast<double>(piece * static_cast<std::int64_t>(WaveAvgBytesPerSec())) / rate);
            if (bytes > 0 && bytes < 0x7FFFFFFF) {
                pin.FChunk.assign(static_cast<std::size_t>(bytes) + 8, 0);
                Put32(pin.FChunk.data(), FourCC("01wb"));
                Put32(pin.FChunk.data() + 4, static_cast<std::uint32_t>(bytes));
                if (WriteMovie(pin.FChunk.data(), pin.FChunk.size()) == 0)
                    AddAudioIndexEntry(static_cast<std::uint32_t>(bytes));
                else
                    lost += piece;
            }
            gap -= piece;
        }
        total -= lost;
    }
    if (!open)
        return FAILED(WriteError()) ? WriteError() : S_FALSE;

    FAudioSamples += total;
    FAudioIndexSamples += total;
    NoteAudioChunkSize(static_cast<std::uint32_t>(len + 8));
    const DWORD r = writeChunk(pin, FourCC("01wb"), data, len);
    if (r != 0) {
        // Counted above, never written.
        FAudioSamples -= own;
        FAudioIndexSamples -= own;
        return WriteError();
    }
    AddAudioIndexEntry(static_cast<std::uint32_t>(len));
    return S_OK;
}
