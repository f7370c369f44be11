#pragma once
// Starting the platform, once, as a program that uses it starts (the program,
// the tools, the test binaries, the benchmarks; the capture component does it
// too as it initialises COM): the built-in classes of th_dshow and th_media,
// then the DV devices (th_dv: the camcorder of the environment, the watch of
// the FireWire bus). Nothing of it runs as a library loads, so a host links
// only what it names and still finds every class. Idempotent, any thread.
// The includer links th_dshow, th_media and th_dv.

#include "platform/dshow/BuiltinClasses.h"
#include "platform/dv/VirtualCamcorder.h"
#include "platform/media/MediaClasses.h"

namespace th::platform {

inline void Start()
{
    th::dshow::RegisterBuiltinClasses();
    th::media::RegisterBuiltinClasses();
    th::dv::startDevices();
}

} // namespace th::platform
