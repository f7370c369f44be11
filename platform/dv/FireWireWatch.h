#pragma once
// The camcorder on the FireWire bus as the platform's DV device: found when
// the watch starts, then followed through udev (a FireWire driver loaded
// later, a camcorder switched on or off, a cable plugged or pulled) and
// through its streams (a bus reset without it, a stream gone silent), so that
// a camcorder that leaves is reported with or without udev. While one is
// there it is listed in the video-input category as "Microsoft DV Camera and
// VCR", with the same device-arrival messages and EC_DEVICE_LOST events as the
// virtual camcorder. startDevices (VirtualCamcorder.h) starts the watch with
// udev when the program starts, with or without a FireWire driver loaded yet;
// tests over the simulated bus start it themselves. No Qt.

#include "platform/dv/Ieee1394Device.h"

#include <functional>
#include <memory>

namespace th::dv {

// The filter of a camcorder on the bus, made when a moniker is bound.
using FireWireFilterFactory = std::function<HRESULT(std::shared_ptr<Ieee1394Device>, REFIID, void**)>;
// What arrival and removal do beyond the device list (EC_DEVICE_LOST in the
// graphs that hold filters of the device).
using FireWirePresenceHook = std::function<void(const std::shared_ptr<Ieee1394Device>&, bool present)>;
void setFireWireHooks(FireWireFilterFactory factory, FireWirePresenceHook presence);
// Sets the hooks of the DV device filter (DvDeviceFilterFireWire.cpp).
void installFireWireFilterHooks();

// Starts following the bus (idempotent): looks at it once (on the watch's
// thread with `udev`, at once without), then on every udev event of the
// firewire subsystem when `udev` (a controller whose driver loads later
// included). Without a udev monitor it looks once, at once.
TH_DV_API void startFireWireWatch(bool udev);
TH_DV_API void stopFireWireWatch();
// Looks at the bus again now, as a udev event makes the watch do: a camcorder
// that appeared is listed, one that left is removed.
TH_DV_API void fireWireBusChanged();
TH_DV_API std::shared_ptr<Ieee1394Device> fireWireCamcorder();
// The device turned out to be other than it was listed as (its television
// system): it leaves and comes back, on a thread of its own.
void fireWireDeviceChanged(const std::shared_ptr<Ieee1394Device>& device);
// The bus reset without the camcorder, or its stream went silent: the bus is
// looked at again (on a thread of its own), so that a camcorder that is gone
// is reported whether or not udev tells.
void fireWireCheckBus();

} // namespace th::dv
