#include "platform/dv/FireWireDiagnosis.h"

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace th::dv {

namespace {

// The AV/C unit (specifier 0x00A02D, version 0x010001) that DV camcorders
// and decks carry.
constexpr const char* kAvcUnit = "0x00a02d:0x010001";

std::string readAttribute(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> fwDevices(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind("fw", 0) == 0)
                names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

struct SystemView {
    std::mutex mutex;
    std::string sysfs = "/sys", dev = "/dev";
};

SystemView& systemView()
{
    static SystemView* v = new SystemView;
    return *v;
}

} // namespace

void setFireWireSystemView(const std::string& sysfs, const std::string& dev)
{
    std::lock_guard<std::mutex> lock(systemView().mutex);
    systemView().sysfs = sysfs;
    systemView().dev = dev;
}

FireWireDiagnosis diagnoseThisSystem()
{
    std::string sysfs, dev;
    {
        std::lock_guard<std::mutex> lock(systemView().mutex);
        sysfs = systemView().sysfs;
        dev = systemView().dev;
    }
    return diagnoseFireWire(sysfs, dev);
}

FireWireDiagnosis diagnoseFireWire(const std::string& sysfs, const std::string& dev)
{
    const std::string bus = sysfs + "/bus/firewire";
    if (access(bus.c_str(), F_OK) != 0)
        return {FireWireProblem::NoDriver,
                "No FireWire driver is loaded. Load it with \"sudo modprobe firewire-ohci\" (in a virtual machine, "
                "a real FireWire card must be passed through to it)."};
    bool controller = false;
    std::vector<std::string> camcorders;
    for (const std::string& name : fwDevices(bus + "/devices")) {
        const std::string node = bus + "/devices/" + name;
        if (readAttribute(node + "/is_local").rfind('1', 0) == 0)
            controller = true;
        if (readAttribute(node + "/units").find(kAvcUnit) != std::string::npos)
            camcorders.push_back(name);
    }
    if (!controller)
        return {FireWireProblem::NoController,
                "This computer has no FireWire port. A FireWire (IEEE 1394) port or card is needed to connect a "
                "camcorder."};
    if (camcorders.empty())
        return {FireWireProblem::NoCamcorder,
                "No camcorder is connected. Connect the camcorder or DV recorder to the FireWire port with a "
                "FireWire cable, switch it on and set it to VCR (play) or camera mode."};
    for (const std::string& name : camcorders)
        if (access((dev + "/" + name).c_str(), R_OK | W_OK) == 0)
            return {};
    return {FireWireProblem::NoPermission,
            "A camcorder is connected, but you have no permission to use it. Add yourself to the \"video\" group "
            "(\"sudo adduser $USER video\"), then log out and log in again."};
}

} // namespace th::dv
