#pragma once
// The capture engine on the virtual camcorder, for the end-to-end tests: a
// tape of described scenes made by the tape maker, the camcorder playing it,
// the writer plugin registered, and a component whose events are collected.
#include "capture/TlmDVCap.h"

#include "platform/dv/VirtualCamcorder.h"
#include "support/TestUtil.h"

#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The system's sound library is not built for ThreadSanitizer, whose reports
// from inside it say nothing about this code: the runs that play the preview's
// sound are left to the other builds.
#if defined(__SANITIZE_THREAD__)
#define TH_SKIP_SOUND_UNDER_TSAN() GTEST_SKIP() << "the preview's sound output is not instrumented for ThreadSanitizer"
#else
#define TH_SKIP_SOUND_UNDER_TSAN() (void)0
#endif

namespace e2e {

struct Scene {
    int frames;
    int year, month, day, hour, min, sec;
    const char* colour; // a name the tape maker knows
    QColor rgb;         // what a picture of it shows
};

// Five scenes; the fourth was recorded before the third.
inline std::vector<Scene> FiveScenes()
{
    return {
        {40, 2003, 6, 15, 14, 22, 5, "red", QColor(255, 0, 0)},
        {55, 2003, 6, 15, 15, 0, 0, "green", QColor(0, 255, 0)},
        {30, 2003, 6, 16, 9, 30, 0, "blue", QColor(0, 0, 255)},
        {45, 2003, 6, 15, 10, 0, 0, "yellow", QColor(255, 255, 0)},
        {50, 2004, 1, 2, 3, 4, 5, "cyan", QColor(0, 255, 255)},
    };
}

inline int TotalFrames(const std::vector<Scene>& scenes)
{
    int n = 0;
    for (const auto& s : scenes)
        n += s.frames;
    return n;
}

inline std::vector<int> SceneStarts(const std::vector<Scene>& scenes)
{
    std::vector<int> starts;
    int n = 0;
    for (const auto& s : scenes) {
        starts.push_back(n);
        n += s.frames;
    }
    return starts;
}

// " yyyymmdd-hh.nn.ss", as per-scene files are named.
inline QString Stamp(const Scene& s)
{
    return QString::asprintf(" %04d%02d%02d-%02d.%02d.%02d", s.year, s.month, s.day, s.hour, s.min, s.sec);
}

// Writes the tape; false (with the tool's output) when it could not.
// `items`, when given, adds tape maker items to each scene (audio=32k12);
// `leaderSeconds` of blank tape come before the first scene.
bool MakeTape(const std::string& path, const std::vector<Scene>& scenes, std::string* out,
              const std::vector<std::string>& items = {}, int leaderSeconds = 0);

// Registers the writer plugin in the test's registry.
bool RegisterWriter(std::string* out);

// Plays the tape at `speed` (0: as fast as the graph takes it).
bool Camcorder(const std::string& tape, double speed, std::int64_t blankFrames = 25,
               th::dv::DeviceKind kind = th::dv::DeviceKind::Vcr);

// The colour of the scene a picture shows: the nearest of the scenes' colours
// to the picture's ground (its right half, away from the burned-in text and
// the bars at the bottom).
int NearestScene(const QImage& picture, const std::vector<Scene>& scenes);

// What the component reported, collected from every thread.
struct Collected {
    std::mutex lock;
    std::atomic<int> frames{0};
    QStringList files;                 // OnNewCaptureFile, in order
    std::vector<QImage> pictures;      // OnNewScene
    QStringList pictureDates;          // "yyyy-mm-dd hh:nn:ss" of each picture
    std::vector<TCaptureState> states; // OnChangeCaptureState

    void Watch(TTlmDVCapture& dv);
    QStringList Files()
    {
        std::lock_guard<std::mutex> g(lock);
        return files;
    }
};

// The frames of a tape by their bytes: each frame's hash and its number.
std::map<std::uint64_t, int> TapeFrames(const std::string& tape, std::size_t frameBytes = 144000);
// Overwrites frames [from, to) with what a dropout leaves: bytes that are no DV frame.
void DamageFrames(const std::string& tape, int from, int to, std::size_t frameBytes = 144000);
// Blanks the recording date and time of frames [from, to), as a camcorder
// whose clock was never set records them.
void UndateFrames(const std::string& tape, int from, int to, std::size_t frameBytes = 144000);

// The scenes of a scene file, as written.
struct SceneEntry {
    int start = -1, end = -1;
    QString name, datetime;
};
std::vector<SceneEntry> ReadScenes(const QString& path);

// What a capture file holds, read by the RIFF walker and by libavformat.
struct FileSlots {
    std::vector<int> tape;            // per slot of the first stream: its tape frame, -1 for a placeholder
    std::int64_t headerFrames = -1;   // dwLength of the first stream
    std::int64_t audioSamples = -1;   // in the audio stream (type 2), by libavformat
    std::int64_t audioLength = -1;    // dwLength of the audio stream
    std::int64_t audioIndexed = -1;   // the durations of its super index, summed
    int placeholders() const;
};
FileSlots ReadSlots(const QString& file, const std::map<std::uint64_t, int>& tape);

// Runs a capture of the whole tape from its start: Start, Play, waits until
// `frames` frames have passed and the tape has stopped at its end, Stop.
// False when that does not happen within the time-out.
bool CaptureTape(TTlmDVCapture& dv, Collected& c, int frames, std::chrono::seconds timeout = std::chrono::seconds(60),
                 std::size_t pictures = 0);

} // namespace e2e
