#pragma once
// What the AVI writer plugin offers its users, without Qt: its class
// identifier and its private interface for switching files per scene. It lies
// here, below both the plugin and the capture engine that drives it, so that
// neither includes the other.

#include "platform/com/Com.h"

#include <cstdint>

// The AVI writer filter of thmux.ax ("Tolmar THMux").
inline constexpr CLSID CLSID_TlmAVIWriter = MakeGuid("28DF5CFD-237B-4BC2-BD77-25D156752042");

// Schedules a switch of the writer to a new file. Name is a null-terminated
// UTF-16 path; the writer continues in it from the first video sample whose
// start time (100 ns stream time) reaches SampleTime. Always S_OK; the name is
// taken as it is: a file that cannot be created then is a write error of the
// writer (EC_ERRORABORT, and its IFileWriteStatus names the file).
struct ITlmFileSinkFilter : IUnknown {
    virtual HRESULT ChangeFileName(LPCWSTR Name, std::int64_t SampleTime) = 0;

protected:
    ~ITlmFileSinkFilter() = default;
};
TH_DECLARE_IID(ITlmFileSinkFilter, "8BF4EB03-A9B5-4BD9-92A0-97C8F4CA2D5A");
