#pragma once
// The classes th_dshow serves from the built-in class table: the filter
// graph, the capture graph builder, the filter mappers, the system device
// enumerator and the stream filters. They are put there when the program
// starts the platform (platform/start/PlatformStart.h), not as the library loads.
// No Qt.

#include "platform/com/Com.h"

#ifndef TH_DSHOW_API
#define TH_DSHOW_API __attribute__((visibility("default")))
#endif

namespace th::dshow {

// Idempotent; may be called on any thread.
TH_DSHOW_API void RegisterBuiltinClasses();

HRESULT createFilterGraph(REFIID riid, void** ppv);
HRESULT createCaptureGraphBuilder(REFIID riid, void** ppv);
HRESULT createFilterMapper(REFIID riid, void** ppv);
HRESULT createSystemDeviceEnum(REFIID riid, void** ppv);

} // namespace th::dshow
