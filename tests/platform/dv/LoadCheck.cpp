// Starts th_dv as a program does and tells what the device enumerator lists:
// one line per video-input device, "<friendly name> vcr|camera". Exit status 0.
#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/dv/VirtualCamcorder.h"

#include <cstdio>
#include <string>

int main()
{
    CoInitialize(nullptr);
    th::dshow::RegisterBuiltinClasses();
    th::dv::startDevices();
    ComPtr<ICreateDevEnum> devEnum;
    ComPtr<IEnumMoniker> monikers;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devEnum.ReleaseAndGetVoidAddressOf()))
        || devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.ReleaseAndGetAddressOf(), 0)
               != S_OK)
        return 0;
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        VARIANT v;
        VariantInit(&v);
        std::string name;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReleaseAndGetVoidAddressOf()))
            && SUCCEEDED(bag->Read(u"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR)
            name = th::com::Utf16ToUtf8(v.bstrVal);
        VariantClear(&v);
        ComPtr<IBaseFilter> filter;
        LONG type = 0;
        if (SUCCEEDED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.ReleaseAndGetVoidAddressOf())))
            if (auto device = filter.As<IAMExtDevice>())
                device->GetCapability(ED_DEVCAP_DEVICE_TYPE, &type, nullptr);
        std::printf("%s %s\n", name.c_str(), type == ED_DEVTYPE_CAMERA ? "camera" : "vcr");
    }
    return 0;
}
