#include "EngineRun.h"

#include "AviCheck.h"
#include "AvRead.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <thread>

namespace e2e {

bool MakeTape(const std::string& path, const std::vector<Scene>& scenes, std::string* out,
              const std::vector<std::string>& items, int leaderSeconds)
{
    std::vector<std::string> args;
    if (leaderSeconds > 0)
        args.insert(args.end(), {"--leader", std::to_string(leaderSeconds) + "s"});
    for (std::size_t i = 0; i < scenes.size(); ++i) {
        const Scene& s = scenes[i];
        args.push_back("--scene");
        args.push_back(QString::asprintf("length=%d,date=%04d-%02d-%02d,time=%02d:%02d:%02d,colour=%s", s.frames,
                                         s.year, s.month, s.day, s.hour, s.min, s.sec, s.colour)
                           .toStdString()
                       + (i < items.size() && !items[i].empty() ? "," + items[i] : std::string()));
    }
    args.push_back(path);
    return th::test::runProgram(th::test::binDir() + "/thtape", args, out) == 0;
}

std::map<std::uint64_t, int> TapeFrames(const std::string& tape, std::size_t frameBytes)
{
    std::map<std::uint64_t, int> frames;
    std::ifstream f(tape, std::ios::binary);
    std::vector<char> frame(frameBytes);
    for (int n = 0; f.read(frame.data(), std::streamsize(frame.size())); ++n)
        frames[avread::Hash(frame.data(), frame.size())] = n;
    return frames;
}

namespace {

void PatchFrames(const std::string& tape, int from, int to, std::size_t frameBytes, std::size_t at,
                 const std::vector<char>& bytes)
{
    std::fstream f(tape, std::ios::binary | std::ios::in | std::ios::out);
    for (int n = from; n < to; ++n) {
        f.seekp(std::streamoff(n) * std::streamoff(frameBytes) + std::streamoff(at));
        f.write(bytes.data(), std::streamsize(bytes.size()));
    }
}

} // namespace

void DamageFrames(const std::string& tape, int from, int to, std::size_t frameBytes)
{
    std::vector<char> garbage(frameBytes);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 7919) >> 3);
    garbage[0] = char(0xFF); // no header block
    PatchFrames(tape, from, to, frameBytes, 0, garbage);
}

void UndateFrames(const std::string& tape, int from, int to, std::size_t frameBytes)
{
    // The recording date and time packs in the VAUX of the first DIF sequence.
    PatchFrames(tape, from, to, frameBytes, 458, std::vector<char>(10, char(0xFF)));
}

std::vector<SceneEntry> ReadScenes(const QString& path)
{
    std::vector<SceneEntry> out;
    QFile f(path);
    QDomDocument doc;
    if (!f.open(QIODevice::ReadOnly) || !doc.setContent(&f))
        return out;
    const QDomElement scenes = doc.documentElement().firstChildElement("scenes");
    for (QDomElement s = scenes.firstChildElement("scene"); !s.isNull(); s = s.nextSiblingElement("scene")) {
        SceneEntry e;
        e.start = s.firstChildElement("start").text().toInt();
        e.end = s.firstChildElement("end").text().toInt();
        e.name = s.firstChildElement("name").text();
        e.datetime = s.firstChildElement("datetime").text();
        out.push_back(e);
    }
    return out;
}

int FileSlots::placeholders() const
{
    return int(std::count(tape.begin(), tape.end(), -1));
}

FileSlots ReadSlots(const QString& file, const std::map<std::uint64_t, int>& tape)
{
    FileSlots s;
    const std::string path = file.toStdString();
    const avicheck::AviFile f = avicheck::Walk(path);
    if (!f.ok() || f.streams.empty())
        return s;
    for (const avicheck::IndexEntry& e : f.streams[0].entries) {
        int frame = -2; // a frame that is not the tape's
        if (e.size == 0) {
            frame = -1;
        } else {
            const auto bytes = avicheck::ReadAt(path, e.dataPos, e.size);
            const auto it = tape.find(avread::Hash(bytes.data(), bytes.size()));
            if (it != tape.end())
                frame = it->second;
        }
        s.tape.push_back(frame);
    }
    s.headerFrames = avicheck::HeaderLength(path, f, 0);
    if (f.streams.size() > 1) {
        s.audioLength = avicheck::HeaderLength(path, f, 1);
        s.audioIndexed = 0;
        for (const std::uint32_t d : f.streams[1].durations)
            s.audioIndexed += d;
        for (const avread::Stream& a : avread::Read(path).streams)
            if (a.type == "audio")
                s.audioSamples = a.bytes / 4;
    }
    return s;
}

bool RegisterWriter(std::string* out)
{
    return th::test::runProgram(th::test::binDir() + "/regsvr", {"/s", th::test::binDir() + "/thmux.ax"}, out) == 0;
}

bool Camcorder(const std::string& tape, double speed, std::int64_t blankFrames, th::dv::DeviceKind kind)
{
    th::dv::CamcorderSettings settings;
    settings.tapePath = tape;
    settings.kind = kind;
    settings.speed = speed;
    settings.blankFrames = blankFrames;
    return th::dv::configureCamcorder(settings);
}

int NearestScene(const QImage& picture, const std::vector<Scene>& scenes)
{
    if (picture.isNull())
        return -1;
    // The ground of the test pattern is its most frequent colour.
    std::map<QRgb, int> counts;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            ++counts[picture.pixel(x, y) & 0xFFF0F0F0u];
    QRgb ground = 0;
    int most = 0;
    for (const auto& [rgb, n] : counts)
        if (n > most) {
            most = n;
            ground = rgb;
        }
    const QColor c(ground);
    int best = -1;
    double bestDistance = 1e9;
    for (std::size_t i = 0; i < scenes.size(); ++i) {
        const QColor& s = scenes[i].rgb;
        const double d = std::hypot(c.red() - s.red(), c.green() - s.green(), c.blue() - s.blue());
        if (d < bestDistance) {
            bestDistance = d;
            best = int(i);
        }
    }
    return bestDistance < 130 ? best : -1;
}

void Collected::Watch(TTlmDVCapture& dv)
{
    dv.OnCaptureProgress = [this](BYTE, BYTE, BYTE, BYTE, BYTE, int) { ++frames; };
    dv.OnNewCaptureFile = [this](QObject*, const QString& name) {
        std::lock_guard<std::mutex> g(lock);
        files << name;
    };
    dv.OnNewScene = [this](const QImage& bmp, BYTE d, BYTE m, BYTE h, BYTE mi, BYTE s, int y) {
        std::lock_guard<std::mutex> g(lock);
        pictures.push_back(bmp.copy());
        pictureDates << QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", y, m, d, h, mi, s);
    };
    dv.OnChangeCaptureState = [this](QObject*, TCaptureState s) {
        std::lock_guard<std::mutex> g(lock);
        states.push_back(s);
    };
}

bool CaptureTape(TTlmDVCapture& dv, Collected& c, int frames, std::chrono::seconds timeout, std::size_t pictures)
{
    dv.Start();
    if (!dv.TransportPlay())
        return false;
    const bool done =
        th::test::waitUntil([&] { return c.frames >= frames && dv.GetTransportState() == tsStop; }, timeout);
    // The pictures come through the preview branch, which may lag behind the
    // file on a busy machine; the stop would drop the last one still on its way.
    if (done && pictures > 0)
        th::test::waitUntil(
            [&] {
                std::lock_guard<std::mutex> g(c.lock);
                return c.pictures.size() >= pictures;
            },
            timeout);
    dv.Stop();
    return done;
}

} // namespace e2e
