#pragma once
// Control of the simulated FireWire bus (libraw1394.so.11 of the tests). A
// test that runs over it finds these functions with dlsym, so the same binary
// can tell whether the simulation or the system's library was loaded.
//
// The bus is set up when the first handle opens, from the environment:
//   THSIM1394_TAPE    a raw DV file: a camcorder with that tape is on the bus
//                     (none without the variable);
//   THSIM1394_MODE    "vcr" (default) or "camera";
//   THSIM1394_WIND    the factor by which winding and searching are faster than
//                     a real deck's (default 1);
//   THSIM1394_NOCARD  set: no FireWire controller (no driver loaded) until
//                     thsim1394_load_driver;
//   THSIM1394_SPEED   bus seconds per second (default 1; less gives a slow
//                     build on a busy machine the time that real time needs);
//   THSIM1394_SIGNAL  where the deck answers OUTPUT SIGNAL MODE: "tape" (the
//                     tape subunit, default), "unit" or "none".

#ifdef __cplusplus
extern "C" {
#endif

// Always 1394: the marker by which tests recognise the simulation.
int thsim1394_marker(void);
// A bus reset: a new generation, plug connections to be restored within 1 s.
void thsim1394_bus_reset(void);
// The camcorder leaves the bus (cable pulled) or comes back; udev tells
// every monitor ("remove", "add").
void thsim1394_unplug(void);
void thsim1394_replug(void);
// The camcorder leaves and no handle hears the bus reset: as when a user's
// handles hold only the camcorder's device file, which goes with it.
void thsim1394_unplug_unheard(void);
// The FireWire driver loads (`loaded`; after THSIM1394_NOCARD) or is
// unloaded: the controller appears or goes, and udev tells of it. A
// camcorder is then plugged with thsim1394_replug.
void thsim1394_load_driver(int loaded);
// Keeps the kernel's view of the bus under `root` (sys/bus/firewire/devices/fwN,
// dev/fwN) from now on, as diagnoseFireWire(root/sys, root/dev) reads it.
void thsim1394_mirror(const char* root);
// Whether udev monitors can be made (1, the default) or not (0).
void thsim1394_udev(int available);

// --- For the tests' libudev.so.1 (SimUdev.cpp) --------------------------------------------------
struct thsim1394_uevent {
    char action[16];
    char devnode[16];
    char units[32];  // empty for the controller and for a removed node
    int is_local;
};
// A monitor of the bus's udev events; null when udev is not available.
void* thsim1394_udev_monitor_new(void);
// Readable while an event waits.
int thsim1394_udev_monitor_fd(void* monitor);
// 1 and the oldest event, or 0 when none waits.
int thsim1394_udev_monitor_next(void* monitor, struct thsim1394_uevent* event);
void thsim1394_udev_monitor_free(void* monitor);
// The camcorder's switch turned to camera (nonzero) or VCR mode.
void thsim1394_camera_mode(int camera);
// Another cassette (a raw DV file) in the deck, stopped at its start; the
// deck answers OUTPUT SIGNAL MODE at the tape subunit (0), the unit (1) or
// nowhere (2), and with `quietIdle` sends no packets at all, not even empty
// ones, while it sends no frames.
void thsim1394_insert_tape(const char* path, int signalAt, int quietIdle);
// The next `packets` data packets the camcorder sends are lost on the bus.
void thsim1394_lose_packets(unsigned packets);
// Every receiver's buffer overruns: nothing is received for `cycles` cycles.
void thsim1394_overrun(unsigned cycles);
// Winding and searching `factor` times as fast as a real deck's.
void thsim1394_wind(double factor);
// Nonzero while the deck searches for an absolute track number.
int thsim1394_searching(void);
// The next receiving thread to take its packets is held up `ms` of bus time
// first; its buffer (one second) overruns meanwhile.
void thsim1394_stall_receiver(unsigned ms);
// The point-to-point connections on the camcorder's output plug.
int thsim1394_connections(void);
// The frame of the tape at the head.
long long thsim1394_head(void);

#ifdef __cplusplus
}
#endif
