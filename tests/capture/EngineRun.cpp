#include "EngineRun.h"

#include <QCoreApplication>

#include <cmath>
#include <map>
#include <thread>

namespace e2e {

bool MakeTape(const std::string& path, const std::vector<Scene>& scenes, std::string* out)
{
    std::vector<std::string> args;
    for (const auto& s : scenes) {
        args.push_back("--scene");
        args.push_back(QString::asprintf("length=%d,date=%04d-%02d-%02d,time=%02d:%02d:%02d,colour=%s", s.frames,
                                         s.year, s.month, s.day, s.hour, s.min, s.sec, s.colour)
                           .toStdString());
    }
    args.push_back(path);
    return th::test::runProgram(th::test::binDir() + "/thtape", args, out) == 0;
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
