// The tests' libudev.so.1: the few calls of libudev that the FireWire watch
// makes, over the simulated bus's events (Sim1394.h). A monitor hears the
// controller appear when the driver loads, and the camcorder's node come and
// go; a removed node has no attributes left, as with the real udev. When the
// bus says udev is not available, no monitor can be made.
#include "Sim1394.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

#define UDEV_API extern "C" __attribute__((visibility("default")))

namespace {

// The bus's side, found in the simulated libraw1394 that the process loaded
// (this library is built before it and does not link it).
template <typename F>
F* bus(const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
}

} // namespace

struct udev {
    int refs = 1;
};

struct udev_monitor {
    int refs = 1;
    void* sim = nullptr;
    std::string subsystem;
    bool receiving = false;
};

struct udev_device {
    int refs = 1;
    thsim1394_uevent event{};
};

UDEV_API udev* udev_new(void)
{
    return new udev;
}

UDEV_API udev* udev_unref(udev* u)
{
    if (u && --u->refs == 0)
        delete u;
    return nullptr;
}

UDEV_API udev_monitor* udev_monitor_new_from_netlink(udev* u, const char* name)
{
    if (!u || !name || std::strcmp(name, "udev") != 0)
        return nullptr;
    auto* make = bus<void*()>("thsim1394_udev_monitor_new");
    void* sim = make ? make() : nullptr;
    if (!sim)
        return nullptr;
    auto* m = new udev_monitor;
    m->sim = sim;
    return m;
}

UDEV_API int udev_monitor_filter_add_match_subsystem_devtype(udev_monitor* m, const char* subsystem, const char*)
{
    if (!m || !subsystem)
        return -1;
    m->subsystem = subsystem;
    return 0;
}

UDEV_API int udev_monitor_enable_receiving(udev_monitor* m)
{
    if (!m)
        return -1;
    m->receiving = true;
    return 0;
}

UDEV_API int udev_monitor_get_fd(udev_monitor* m)
{
    return m ? bus<int(void*)>("thsim1394_udev_monitor_fd")(m->sim) : -1;
}

UDEV_API udev_device* udev_monitor_receive_device(udev_monitor* m)
{
    if (!m || !m->receiving)
        return nullptr;
    thsim1394_uevent e{};
    // Every event of the bus is of the firewire subsystem.
    auto* next = bus<int(void*, thsim1394_uevent*)>("thsim1394_udev_monitor_next");
    while (next(m->sim, &e))
        if (m->subsystem.empty() || m->subsystem == "firewire") {
            auto* d = new udev_device;
            d->event = e;
            return d;
        }
    return nullptr;
}

UDEV_API udev_monitor* udev_monitor_unref(udev_monitor* m)
{
    if (m && --m->refs == 0) {
        bus<void(void*)>("thsim1394_udev_monitor_free")(m->sim);
        delete m;
    }
    return nullptr;
}

UDEV_API const char* udev_device_get_action(udev_device* d)
{
    return d ? d->event.action : nullptr;
}

UDEV_API const char* udev_device_get_sysattr_value(udev_device* d, const char* name)
{
    if (!d || !name || std::strcmp(d->event.action, "remove") == 0)
        return nullptr;
    if (std::strcmp(name, "units") == 0)
        return d->event.units;
    if (std::strcmp(name, "is_local") == 0)
        return d->event.is_local ? "1" : "0";
    return nullptr;
}

UDEV_API udev_device* udev_device_unref(udev_device* d)
{
    if (d && --d->refs == 0)
        delete d;
    return nullptr;
}
