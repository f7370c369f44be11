#include "platform/dv/FireWireWatch.h"

#include "platform/dshow/DeviceEnum.h"
#include "platform/dv/FireWireDiagnosis.h"
#include "platform/dv/VirtualCamcorder.h"
#include "platform/win/Windows.h"

#include <libudev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace th::dv {

namespace {

constexpr const char* kAvcUnit = "0x00a02d:0x010001";

std::string devicePath(const Ieee1394Device& device)
{
    char guid[17];
    std::snprintf(guid, sizeof guid, "%016llx", static_cast<unsigned long long>(device.camcorder().guid));
    return std::string("\\\\?\\avc#") + guid + "#1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
}

struct Watch {
    std::mutex mutex; // guards everything below
    std::mutex scanMutex; // one look at the bus at a time
    FireWireFilterFactory factory;
    FireWirePresenceHook presence;
    std::shared_ptr<Ieee1394Device> current;
    // Camcorders seen before: one that comes back is the same device, so
    // that the filters made of it work again.
    std::vector<std::shared_ptr<Ieee1394Device>> known;
    std::uint64_t listed = 0; // the device enumerator's handle
    bool started = false;
    std::thread thread;
    int wakeFd = -1;
};

// Never destroyed: streams and filters may outlive the statics at exit.
Watch& watch()
{
    static Watch* w = new Watch;
    return *w;
}

// Arrival and removal run under scanMutex, one at a time; what they change of
// the watch is taken or set under its mutex, and the device list, the hooks
// and the messages are called with no lock held.
void arrive(const std::shared_ptr<Ieee1394Device>& device)
{
    Watch& w = watch();
    FireWirePresenceHook presence;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.current = device;
        presence = w.presence;
    }
    std::weak_ptr<Ieee1394Device> weak = device;
    const std::uint64_t listed = th::dshow::AddDevice(
        CLSID_VideoInputDeviceCategory, kCamcorderFriendlyName, [weak](REFIID riid, void** ppv) -> HRESULT {
            const auto d = weak.lock();
            if (!d || !d->present())
                return HRESULT_FROM_WIN32(kErrorDeviceNotConnected);
            FireWireFilterFactory factory;
            {
                std::lock_guard<std::mutex> lock(watch().mutex);
                factory = watch().factory;
            }
            return factory ? factory(d, riid, ppv) : E_NOTIMPL;
        });
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.listed = listed;
    }
    if (presence)
        presence(device, true);
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, kCaptureInterfaceClass, devicePath(*device));
}

void leave()
{
    Watch& w = watch();
    std::shared_ptr<Ieee1394Device> device;
    FireWirePresenceHook presence;
    std::uint64_t listed = 0;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        device = std::exchange(w.current, nullptr);
        listed = std::exchange(w.listed, 0);
        presence = w.presence;
    }
    if (listed)
        th::dshow::RemoveDevice(listed);
    if (!device)
        return;
    device->setPresent(false);
    if (presence)
        presence(device, false);
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, kCaptureInterfaceClass, devicePath(*device));
}

bool isCamcorder(udev_device* d)
{
    const char* units = udev_device_get_sysattr_value(d, "units");
    return units && std::strstr(units, kAvcUnit);
}

void follow(udev* u, udev_monitor* monitor, int wakeFd)
{
    pthread_setname_np(pthread_self(), "th-fw-watch");
    // The first look at the bus talks to the camcorders: not on the thread
    // that starts the watch.
    fireWireBusChanged();
    pollfd p[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "TapeHarvest DV device: udev can no longer be heard (%s); camcorders that leave "
                                 "are still found by their streams\n",
                         std::strerror(errno));
            break;
        }
        if (p[1].revents & POLLIN)
            break;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            std::fprintf(stderr, "TapeHarvest DV device: the udev monitor closed; camcorders that leave are still "
                                 "found by their streams\n");
            break;
        }
        if (!(p[0].revents & POLLIN))
            continue;
        udev_device* d = udev_monitor_receive_device(monitor);
        if (!d)
            continue;
        const char* action = udev_device_get_action(d);
        // A removed device has no attributes left to read.
        const bool relevant = (action && std::strcmp(action, "remove") == 0) || isCamcorder(d);
        udev_device_unref(d);
        if (relevant)
            fireWireBusChanged();
    }
    udev_monitor_unref(monitor);
    udev_unref(u);
}

} // namespace

void setFireWireHooks(FireWireFilterFactory factory, FireWirePresenceHook presence)
{
    Watch& w = watch();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.factory = std::move(factory);
    w.presence = std::move(presence);
}

void fireWireBusChanged()
{
    Watch& w = watch();
    std::lock_guard<std::mutex> scan(w.scanMutex);
    const std::vector<FireWireCamcorder> found = findFireWireCamcorders();
    std::shared_ptr<Ieee1394Device> current = fireWireCamcorder();
    if (current) {
        const bool still = std::any_of(found.begin(), found.end(), [&](const FireWireCamcorder& c) {
            return c.guid == current->camcorder().guid;
        });
        if (still)
            return;
        leave();
    }
    if (found.empty())
        return;
    std::shared_ptr<Ieee1394Device> device;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        for (const auto& k : w.known)
            if (k->camcorder().guid == found.front().guid)
                device = k;
    }
    if (device) {
        device->setPresent(true);
        device->findSystem(); // another cassette may be in it now
        arrive(device);
        return;
    }
    std::string error;
    if ((device = Ieee1394Device::open(found.front(), &error))) {
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            w.known.push_back(device);
        }
        arrive(device);
    }
    else
        std::fprintf(stderr, "TapeHarvest DV device: %s\n", error.c_str());
}

bool watching()
{
    std::lock_guard<std::mutex> lock(watch().mutex);
    return watch().started;
}

void fireWireCheckBus()
{
    // One look waiting at a time is enough: it starts after every request
    // made before it.
    static std::atomic<bool> pending{false};
    if (!watching() || pending.exchange(true))
        return;
    std::thread([] {
        pthread_setname_np(pthread_self(), "th-fw-check");
        pending = false;
        if (watching())
            fireWireBusChanged();
    }).detach();
}

void fireWireDeviceChanged(const std::shared_ptr<Ieee1394Device>& device)
{
    std::thread([device] {
        pthread_setname_np(pthread_self(), "th-fw-change");
        std::lock_guard<std::mutex> scan(watch().scanMutex);
        if (!watching() || fireWireCamcorder() != device)
            return;
        leave();
        device->setPresent(true);
        arrive(device);
    }).detach();
}

std::shared_ptr<Ieee1394Device> fireWireCamcorder()
{
    Watch& w = watch();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.current;
}

void startFireWireWatch(bool withUdev)
{
    installFireWireFilterHooks();
    Watch& w = watch();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.started)
            return;
        w.started = true;
    }
    if (withUdev) {
        udev* u = udev_new();
        udev_monitor* monitor = u ? udev_monitor_new_from_netlink(u, "udev") : nullptr;
        if (monitor && udev_monitor_filter_add_match_subsystem_devtype(monitor, "firewire", nullptr) == 0
            && udev_monitor_enable_receiving(monitor) == 0) {
            std::lock_guard<std::mutex> lock(w.mutex);
            w.wakeFd = eventfd(0, EFD_CLOEXEC);
            const int fd = w.wakeFd;
            w.thread = std::thread([u, monitor, fd] { follow(u, monitor, fd); });
            return;
        }
        if (monitor)
            udev_monitor_unref(monitor);
        if (u)
            udev_unref(u);
    }
    fireWireBusChanged();
}

void stopFireWireWatch()
{
    Watch& w = watch();
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!w.started)
            return;
        w.started = false;
        if (w.wakeFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(w.wakeFd, &one, sizeof one);
        }
        thread = std::move(w.thread);
    }
    if (thread.joinable())
        thread.join();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.wakeFd >= 0)
            close(w.wakeFd);
        w.wakeFd = -1;
    }
    std::lock_guard<std::mutex> scan(w.scanMutex);
    leave();
}

} // namespace th::dv

namespace th::dv {

std::string noDeviceExplanation()
{
    if (camcorderPresent() || fireWireCamcorder())
        return {};
    FireWireDiagnosis d = diagnoseThisSystem();
    if (d.problem != FireWireProblem::None)
        return d.text;
    // The kernel shows a camcorder this user may open: one the watch has not
    // seen yet (a driver loaded later, udev not heard) is found by another look.
    fireWireCheckBus();
    return "A camcorder is connected but does not answer. Switch it off and on again, and check that it is in "
           "VCR (play) or camera mode.";
}

} // namespace th::dv
