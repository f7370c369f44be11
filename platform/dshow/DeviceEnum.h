#pragma once
// The system device enumerator (CLSID_SystemDeviceEnum) lists, for a category,
// first the devices that platform code has added here (in the order they were
// added), then the filters registered in the category through the filter
// mapper (HKEY_CLASSES_ROOT\CLSID\{category}\Instance, in key order). Each is a
// moniker: BindToStorage gives its property bag ("FriendlyName", and for a
// registered filter every string and number value of its key, "CLSID"
// included); BindToObject makes a new filter object. Part of th_dshow. No Qt.

#include "platform/dshow/ExtInterfaces.h"

#include <cstdint>
#include <functional>
#include <string>

#ifndef TH_DSHOW_API
#define TH_DSHOW_API __attribute__((visibility("default")))
#endif

namespace th::dshow {

// Makes a new filter object of a device and queries it for riid.
using DeviceFilterFactory = std::function<HRESULT(REFIID riid, void** ppv)>;

// Adds a device to a category (for the DV device: CLSID_VideoInputDeviceCategory).
// Enumerators made from now on list it until it is removed; monikers handed out
// before the removal still bind. Returns the device's handle, never 0.
TH_DSHOW_API std::uint64_t AddDevice(const CLSID& category, std::u16string friendlyName, DeviceFilterFactory create);
// False when no device has the handle.
TH_DSHOW_API bool RemoveDevice(std::uint64_t device);

// The moniker of a filter registered in a category under the instance key
// `instance` (the filter mapper hands it out); null when the key is missing.
ComPtr<IMoniker> RegisteredFilterMoniker(const CLSID& category, const std::string& instance);

} // namespace th::dshow
