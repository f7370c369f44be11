#include "platform/dv/VirtualCamcorder.h"

#include "platform/dv/Camcorder.h"
#include "platform/dv/FireWireWatch.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <unistd.h>
#include <utility>

namespace th::dv {

namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Camcorder> current;
};

// Never destroyed: filters and streaming threads may outlive the statics of
// the process at exit.
Registry& registry()
{
    static Registry* r = new Registry;
    return *r;
}

std::shared_ptr<Camcorder> current()
{
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().current;
}

std::shared_ptr<Camcorder> takeCurrent()
{
    std::lock_guard<std::mutex> lock(registry().mutex);
    return std::exchange(registry().current, nullptr);
}

bool refuse(const std::string& message, std::string* error)
{
    std::fprintf(stderr, "TapeHarvest DV device: %s\n", message.c_str());
    if (error)
        *error = message;
    return false;
}

} // namespace

bool configureCamcorder(const CamcorderSettings& settings, std::string* error, bool plugged)
{
    if (const auto old = takeCurrent())
        old->unplug();
    if (settings.kind != DeviceKind::Vcr && settings.kind != DeviceKind::Camera)
        return refuse("the camcorder must be a VCR or a camera", error);
    if (!(settings.speed >= 0) || !std::isfinite(settings.speed))
        return refuse("the speed factor must be 0 or more", error);
    std::string why;
    auto tape = DvTape::open(settings.tapePath, &why);
    if (!tape)
        return refuse(why, error);
    auto camcorder = Camcorder::make(std::move(tape), settings.kind, settings.speed, settings.blankFrames);
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        registry().current = camcorder;
    }
    if (plugged)
        camcorder->plug();
    return true;
}

bool configureCamcorderFromEnvironment(std::string* error)
{
    const char* tape = std::getenv("THARVEST_DV_TAPE");
    if (!tape || !*tape) {
        removeCamcorder();
        return true;
    }
    CamcorderSettings settings;
    settings.tapePath = tape;
    if (const char* mode = std::getenv("THARVEST_DV_MODE"); mode && *mode) {
        if (strcasecmp(mode, "vcr") == 0) {
            settings.kind = DeviceKind::Vcr;
        } else if (strcasecmp(mode, "camera") == 0) {
            settings.kind = DeviceKind::Camera;
        } else {
            removeCamcorder();
            return refuse(std::string("THARVEST_DV_MODE is \"") + mode + "\"; it must be vcr or camera", error);
        }
    }
    if (const char* speed = std::getenv("THARVEST_DV_SPEED"); speed && *speed) {
        char* end = nullptr;
        const double value = std::strtod(speed, &end);
        if (end == speed || *end != '\0' || !(value >= 0) || !std::isfinite(value)) {
            removeCamcorder();
            return refuse(std::string("THARVEST_DV_SPEED is \"") + speed
                              + "\"; it must be a speed factor of 0 or more (1 is real time)",
                          error);
        }
        settings.speed = value;
    }
    return configureCamcorder(settings, error);
}

void removeCamcorder()
{
    if (const auto old = takeCurrent())
        old->unplug();
}

bool plugCamcorder()
{
    const auto camcorder = current();
    return camcorder && camcorder->plug();
}

bool unplugCamcorder()
{
    const auto camcorder = current();
    return camcorder && camcorder->unplug();
}

bool camcorderPresent()
{
    const auto camcorder = current();
    return camcorder && camcorder->present();
}

bool setCamcorderSpeed(double speed)
{
    const auto camcorder = current();
    return camcorder && camcorder->setSpeed(speed);
}

void startDevices()
{
    static std::once_flag once;
    std::call_once(once, [] {
        try {
            configureCamcorderFromEnvironment();
            // Without a tape to play, the camcorders on the FireWire bus,
            // whose driver may be loaded only later: udev tells of it then.
            const char* tape = std::getenv("THARVEST_DV_TAPE");
            const char* fireWire = std::getenv("THARVEST_FIREWIRE");
            if ((!tape || !*tape) && !(fireWire && std::strcmp(fireWire, "off") == 0))
                startFireWireWatch(true);
        } catch (...) {
            std::fprintf(stderr, "TapeHarvest DV device: the camcorder could not be set up\n");
        }
    });
}

} // namespace th::dv
