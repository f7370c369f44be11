#pragma once
// The virtual camcorder: the platform's DV device, a camcorder that plays a raw
// DV file as its tape. While one is configured and plugged in, the system
// device enumerator lists it in the video-input category as
// "Microsoft DV Camera and VCR"; its filter (one capture pin with interleaved
// DV, the transport, time code and dropped-frame interfaces) is made by
// IMoniker::BindToObject.
//
// Starting the devices (startDevices) configures the camcorder from the environment:
//   THARVEST_DV_TAPE   the tape file (no variable, no device);
//   THARVEST_DV_MODE   "vcr" (default) or "camera";
//   THARVEST_DV_SPEED  the speed factor: 1 is real time (default), more runs the
//                      tape that many times faster, 0 as fast as the graph takes
//                      the frames.
// A tape that is missing, unreadable or not DV, or a bad mode or speed, gives no
// device and one message on standard error.
// Without THARVEST_DV_TAPE the device is the camcorder on the FireWire bus,
// when there is one (FireWireWatch.h).
//
// Speed and late downstream filters. At real time (speed 1 or less) the tape
// runs on its own: frames that the graph is not ready for when they come off
// the head are dropped and counted by IAMDroppedFrames, as a camcorder's are,
// and leave gaps in the media times. Faster (and at 0) the tape waits for the
// graph, so that tests and benchmarks on a loaded machine lose nothing; only
// one running filter of the camcorder sets that pace, others follow it.
//
// Commands. A transport command or seek takes effect at the next frame
// period that no running filter has sent yet, so the first frame sent after
// it is the one the command found (after a seek to TC, play sends TC first).
// A frame already on its way downstream when the deck stops still arrives.
//
// Presence. Plugging and unplugging raise EC_DEVICE_LOST (param2 1 back, 0
// removed) once in every graph that holds a filter of the camcorder, and send
// WM_DEVICECHANGE (DBT_DEVICEARRIVAL, or DBT_DEVICEREMOVECOMPLETE) with a
// KSCATEGORY_CAPTURE device-interface record to every target registered with
// RegisterDeviceNotification. An unplugged camcorder delivers nothing and its
// filters' calls fail with HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED); a
// moniker of it no longer binds. Its tape goes on moving as the deck left it.
//
// Every function here may be called on any thread. No Qt.

#include "platform/com/Com.h"

#include <cstdint>
#include <string>

#ifndef TH_DV_API
#define TH_DV_API __attribute__((visibility("default")))
#endif

namespace th::dv {

inline constexpr const char16_t* kCamcorderFriendlyName = u"Microsoft DV Camera and VCR";
// The device-interface class of capture devices (KSCATEGORY_CAPTURE).
inline constexpr GUID kCaptureInterfaceClass = MakeGuid("65E8773D-8F56-11D0-A3B9-00A0C9223196");
// Win32 codes the camcorder answers with.
inline constexpr DWORD kErrorWriteProtect = 19;        // ERROR_WRITE_PROTECT: record on the protected cassette
inline constexpr DWORD kErrorNotSupported = 50;        // ERROR_NOT_SUPPORTED
inline constexpr DWORD kErrorDeviceNotConnected = 1167; // ERROR_DEVICE_NOT_CONNECTED
inline constexpr DWORD kErrorRequestAborted = 1235;    // ERROR_REQUEST_ABORTED: the deck refused a seek

// Samples the capture pin keeps in its pool (at least; more when downstream asks).
inline constexpr LONG kDeviceBuffers = 8;

enum class DeviceKind { None = 0, Vcr, Camera };

struct CamcorderSettings {
    std::string tapePath;
    DeviceKind kind = DeviceKind::Vcr;
    // 1: real time; more: that many times faster; 0: as fast as the graph takes frames.
    double speed = 1.0;
    // Blank tape after the recording; negative: ten seconds of it.
    std::int64_t blankFrames = -1;
};

// Replaces the camcorder (unplugging the one there was) by one that plays the
// tape, and plugs it in when `plugged`. On failure there is no camcorder, the
// message goes to standard error and into *error, and the result is false.
TH_DV_API bool configureCamcorder(const CamcorderSettings& settings, std::string* error = nullptr,
                                  bool plugged = true);
// Starts the DV devices once per process, as the program starts (never as the
// library loads): the camcorder of the environment, and without a tape the
// watch of the FireWire bus with udev (not with THARVEST_FIREWIRE=off).
TH_DV_API void startDevices();
// What starting the devices does first: configureCamcorder from THARVEST_DV_TAPE,
// THARVEST_DV_MODE and THARVEST_DV_SPEED, or no camcorder without the tape
// variable (true then, and nothing is written to standard error).
TH_DV_API bool configureCamcorderFromEnvironment(std::string* error = nullptr);
// Unplugs and forgets the camcorder.
TH_DV_API void removeCamcorder();
// False when there is no camcorder or it already is in that state.
TH_DV_API bool plugCamcorder();
TH_DV_API bool unplugCamcorder();
TH_DV_API bool camcorderPresent();
// Changes the speed factor of the camcorder (see above); false without one or
// for a negative factor.
TH_DV_API bool setCamcorderSpeed(double speed);

} // namespace th::dv
