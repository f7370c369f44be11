#include "platform/dshow/BuiltinClasses.h"

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/StreamFilters.h"

#include <mutex>

namespace th::dshow {

void RegisterBuiltinClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const com::BuiltinClass classes[] = {
            {CLSID_FilterGraph, &createFilterGraph},
            {CLSID_CaptureGraphBuilder2, &createCaptureGraphBuilder},
            {CLSID_FilterMapper2, &createFilterMapper},
            {CLSID_FilterMapper, &createFilterMapper},
            {CLSID_SystemDeviceEnum, &createSystemDeviceEnum},
            {CLSID_SampleGrabber, &CreateBuiltin<CSampleGrabber>},
            {CLSID_SmartTee, &CreateBuiltin<CSmartTee>},
            {CLSID_NullRenderer, &CreateBuiltin<CNullRenderer>},
        };
        com::RegisterBuiltinClasses(classes);
    });
}

} // namespace th::dshow
