#pragma once
// Why no FireWire camcorder can be used, in words a user can act on. The
// libraries cannot tell "no card" from "no card this user may open"; the
// kernel's view in sysfs and the device files can. No Qt.

#include <string>

#ifndef TH_DV_API
#define TH_DV_API __attribute__((visibility("default")))
#endif

namespace th::dv {

enum class FireWireProblem { None = 0, NoDriver, NoController, NoCamcorder, NoPermission };

struct FireWireDiagnosis {
    FireWireProblem problem = FireWireProblem::None;
    std::string text; // empty for None
};

// Reads `sysfs`/bus/firewire/devices/fw*/{is_local,units} and checks the
// camcorder's `dev`/fwN for reading and writing.
TH_DV_API FireWireDiagnosis diagnoseFireWire(const std::string& sysfs = "/sys", const std::string& dev = "/dev");

// Where the program reads the kernel's view for noDeviceExplanation: "/sys"
// and "/dev", unless a test over a simulated bus points it at its own.
TH_DV_API void setFireWireSystemView(const std::string& sysfs, const std::string& dev);
TH_DV_API FireWireDiagnosis diagnoseThisSystem();

// What the program says when it finds no DV device: empty while a device (the
// virtual camcorder or a camcorder on the bus) is there, else the diagnosis.
// A camcorder that the kernel shows but the watch has not listed (yet) has
// the bus looked at again, on a thread of its own.
TH_DV_API std::string noDeviceExplanation();

} // namespace th::dv
