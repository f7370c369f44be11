#pragma once
// The media detector as the frame grabber drives it, for the detector's tests.
#include "DvMediaTestUtil.h"

#include "platform/dshow/DShow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace dvtest {

inline ComPtr<IMediaDet> makeDet()
{
    ComPtr<IMediaDet> det;
    EXPECT_EQ(CoCreateInstance(CLSID_MediaDet, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                               IID_PPV_ARGS(&det)),
              S_OK);
    return det;
}

inline HRESULT openFile(IMediaDet* det, const std::string& path)
{
    std::u16string name = th::com::Utf8ToUtf16(path);
    BSTR b = SysAllocString(name.c_str());
    const HRESULT hr = det->put_Filename(b);
    SysFreeString(b);
    return hr;
}

// The frame grabber's stream search: the first stream of the major type.
inline LONG selectVideo(IMediaDet* det, double* rate)
{
    LONG count = 0;
    EXPECT_EQ(det->get_OutputStreams(&count), S_OK);
    for (LONG i = 0; i < count; ++i) {
        EXPECT_EQ(det->put_CurrentStream(i), S_OK);
        GUID type{};
        EXPECT_EQ(det->get_StreamType(&type), S_OK);
        if (type == MEDIATYPE_Video) {
            EXPECT_EQ(det->get_FrameRate(rate), S_OK);
            return i;
        }
    }
    return -1;
}

// The frame at 96 × 84 through both calls, checked for its header; the
// colour of its top left corner.
inline Rgb grab(IMediaDet* det, double seconds, HRESULT* result = nullptr)
{
    LONG size = 0;
    HRESULT hr = det->GetBitmapBits(seconds, &size, nullptr, 96, 84);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(size, 40 + 96 * 3 * 84);
    std::vector<char> buffer(static_cast<std::size_t>(std::max<LONG>(size, 0)));
    hr = det->GetBitmapBits(seconds, nullptr, buffer.data(), 96, 84);
    if (result)
        *result = hr;
    if (hr != S_OK)
        return {-1, -1, -1};
    BITMAPINFOHEADER h;
    std::memcpy(&h, buffer.data(), sizeof h);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 96);
    EXPECT_EQ(h.biHeight, 84);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, BI_RGB);
    EXPECT_EQ(h.biSizeImage, 96u * 3 * 84);
    // Bottom-up: the picture's second row is the DIB's last but one.
    const auto* p = reinterpret_cast<const std::uint8_t*>(buffer.data()) + 40 + 82 * 96 * 3 + 3 * 3;
    return {p[2], p[1], p[0]};
}

inline void expectFrame(IMediaDet* det, double rate, int frame, int tolerance = 30)
{
    const double seconds = rate > 0 ? frame / rate : 0.0; // as the frame grabber computes it
    const Rgb got = grab(det, seconds);
    const Rgb want = paletteColour(frame);
    EXPECT_NEAR(got.r, want.r, tolerance) << "frame " << frame;
    EXPECT_NEAR(got.g, want.g, tolerance) << "frame " << frame;
    EXPECT_NEAR(got.b, want.b, tolerance) << "frame " << frame;
}

} // namespace dvtest
