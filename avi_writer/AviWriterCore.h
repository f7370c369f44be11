#pragma once
// What the AVI writer filter does besides being a filter: the formats its pins
// record, the file-sink calls, the scheduled file switch, and what each pin
// does with a sample (dropped frames, silence, the audio kept behind the video
// through the named event "TOLMARDVAVIWRITER"). The filter and its pins are
// thin COM shells around this class, so that all of it can be driven directly.
// No Qt.

#include "avi_writer/OpenDmlFileWriter.h"

#include "platform/dshow/Interfaces.h"
#include "platform/riff/PcmRate.h"
#include "platform/riff/SampleGap.h"
#include "platform/win/Windows.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// Per pin: where the previous sample of the run ended (kept across file
// switches, so that a gap across a switch is still seen; set back at each run,
// whose times begin again near zero).
struct AviPinState {
    th::riff::SampleGap FGap;
    std::vector<std::uint8_t> FChunk; // the movie chunk being built (kept to avoid regrowing it)
};

struct AviAudioPinState : AviPinState {
    std::mutex FReceiveLock;          // serialises the audio pin's Receive, its wait included
    std::int64_t FNominalSamples = 0; // samples of the first audio buffer that had any
    // Sound arriving at another rate than the open file's, brought to the file's.
    th::riff::PcmRateConverter FRate;
    std::vector<std::int16_t> FConverted;
};

// x brought to the nearest integer, halves to the even neighbour (2.5 gives 2).
std::int64_t Nearest(double x);

class AviWriterCore : public OpenDmlFileWriter {
public:
    static constexpr std::size_t kMaxFileNameChars = 260;
    static constexpr DWORD kInterleaveWaitMs = 2000;
    static constexpr const char* kInterleaveEventName = "TOLMARDVAVIWRITER";

    // Opens the named interleave event (shared with every other writer).
    explicit AviWriterCore(WriterLock& lock, OpenDmlLimits limits = {});
    // Closes the file and the event.
    ~AviWriterCore() override;

    // Takes the format of an accepted media type.
    void RecordMediaFormat(const AM_MEDIA_TYPE& mt);

    // The file sink: SetFileName creates the named file at once as an empty
    // finished AVI file, closes it and arms the writer; HRESULT_FROM_WIN32(206)
    // for a name of more than 260 characters, E_OUTOFMEMORY for an empty one,
    // else the result of creating the file (HRESULT_FROM_WIN32 of the system's
    // error on failure, also kept as the write status).
    HRESULT SetFileName(LPCOLESTR fileName);
    // A task-memory copy of the current name (the caller frees it with
    // CoTaskMemFree); pmt, when given, is cleared.
    HRESULT GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt);
    // Schedules the switch to Name from the first video sample that starts at
    // or after SampleTime. Always S_OK.
    HRESULT ChangeFileName(LPCOLESTR name, std::int64_t sampleTime);

    // The pins' sample reception. A sample that cannot be written (no file
    // could be opened, or the write failed) answers with the write status.
    HRESULT ReceiveVideo(AviPinState& pin, IMediaSample* sample);
    HRESULT ReceiveAudio(AviAudioPinState& pin, IMediaSample* sample);
    // A new run: its samples' times begin again, so nothing of the last run's
    // times may hold them up or count as a gap.
    void BeginRun(AviPinState* video, AviAudioPinState* audio);

    // Writing is wanted: armed by Run, Pause and SetFileName, disarmed by Stop.
    // Unarmed and without an open file, samples are let through unwritten.
    void Arm(bool armed);
    bool Armed() const { return FArmed; }

private:
    friend struct CoreTestAccess;

    std::string FNewFileName;     // the scheduled next file
    std::int64_t FChangeTime = 0; // stream time from which it begins
    // The audio pin's latest time; written by the audio pin outside the lock.
    std::atomic<std::int64_t> FAudioTime{0};
    HANDLE FInterleaveEvent = nullptr;
    // The format of the sound arriving: the connection's, then the one the
    // upstream filter attached to a sample when its sound changed (a tape
    // recorded at 48 kHz and 32 kHz). The file's own is FWaveFormat.
    std::uint8_t FInWave[kWaveFormatSize] = {};
    // Samples of silence the video pin wrote ahead of the audio pin (for
    // frames lost just before a file switch).
    std::int64_t FAudioWrittenAhead = 0;
    bool FArmed = false;
    HRESULT writeVideoSample(AviPinState& pin, IMediaSample* sample);
    HRESULT writeAudioSample(AviAudioPinState& pin, IMediaSample* sample);
    void waitForVideo();
    void noteAudioType(IMediaSample* sample);
    void endFileWithDropped(AviPinState& pin, std::int64_t dropped);
    DWORD writeChunk(AviPinState& pin, std::uint32_t id, const BYTE* data, std::size_t len);
};
