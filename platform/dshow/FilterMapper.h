#pragma once
// The filter mapper's "FilterData" value: the merit and pin templates of a
// registered filter, as IFilterMapper2::RegisterFilter stores them. Little
// endian throughout; strings are UTF-16 code units preceded by their count:
//
//   u32 layout version (1), u32 merit, u32 pin count, then per pin:
//     u32 flags (1 rendered, 2 output, 4 zero allowed, 8 many allowed)
//     u32 name length, name
//     16 bytes connects-to filter GUID (zero when none)
//     u32 connects-to pin length, connects-to pin
//     u32 media type count, then per type 16 bytes major and 16 bytes minor GUID
//
// GUIDs are stored as Data1, Data2, Data3 (little endian) and the 8 bytes of Data4.
// Part of th_dshow. No Qt.

#include "platform/dshow/DeviceEnum.h"

#include <optional>
#include <vector>

namespace th::dshow {

struct FilterDataPin {
    std::u16string name;
    bool rendered = false, output = false, zero = false, many = false;
    GUID connectsToFilter{};
    std::u16string connectsToPin;
    std::vector<std::pair<GUID, GUID>> types;
};

struct FilterData {
    DWORD merit = 0;
    std::vector<FilterDataPin> pins;
};

TH_DSHOW_API std::vector<BYTE> EncodeFilterData(const REGFILTER2& data);
// Nothing for a value that is short, has another layout version or runs past its end.
TH_DSHOW_API std::optional<FilterData> DecodeFilterData(const std::vector<BYTE>& bytes);

} // namespace th::dshow
