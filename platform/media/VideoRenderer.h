#pragma once
// The Video Renderer (CLSID_VideoRenderer), the default renderer of video:
// one input pin "Input" that takes uncompressed video (MEDIATYPE_Video,
// RGB24 or RGB32, FORMAT_VideoInfo; bottom-up or top-down rows) and shows
// the newest frame in a window of its own, a child widget of its owner.
//
// Window handles. An owner is named by the window handle of a widget: its
// native window id, WindowHandle(widget) (QWidget::winId, which creates the
// native window when the widget has none yet). put_Owner takes such a handle;
// a handle that names no living widget is refused (E_INVALIDARG).
//
// IVideoWindow (also reached through the graph's IVideoWindow):
//   put_Owner(handle)     the renderer's window becomes a child of that widget
//                         (0: the window is taken away and destroyed);
//   put_WindowStyle(s)    stored; the window is always a child of its owner;
//   SetWindowPosition     its place in the owner's client area (negative sizes:
//                         E_INVALIDARG); it paints the frame stretched over it;
//   put_Visible           OATRUE shows it, OAFALSE hides it (else E_INVALIDARG).
// Without an owner nothing is shown; the newest frame is kept for an owner
// given later. These calls belong to the main thread (RPC_E_WRONG_THREAD
// elsewhere).
//
// Threads. Receive (on the upstream's streaming thread) copies the frame into
// a buffer of its own in the window's pixel format (RGB32 as it comes, RGB24
// converted) and hands it over as the newest frame; at most one
// queued call to the main thread is outstanding, and it paints whatever frame
// is newest when it runs, so a slow main thread skips frames and never holds
// up the stream. Only the rows that changed since the frame shown before are
// painted again. The window counts the frames it took in its dynamic property
// "framesShown".

#include "platform/dshow/BaseClasses.h"

#include <memory>

class QWidget;

namespace th::media {

inline constexpr LONG WS_CHILD = 0x40000000;
inline constexpr LONG WS_CLIPSIBLINGS = 0x04000000;
inline constexpr HRESULT RPC_E_WRONG_THREAD = MakeHResult(0x8001010Eu);

// The handle that names a widget as an owner, and back (null when none).
OAHWND WindowHandle(QWidget* widget);
QWidget* WidgetOfHandle(OAHWND handle);

struct VideoFrames;
class CVideoRenderer;

class CVideoRendererInputPin final : public CRenderedInputPin {
public:
    CVideoRendererInputPin(CVideoRenderer* renderer, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;

private:
    CVideoRenderer* m_renderer;
};

class CVideoRenderer final : public CBaseFilter, public IVideoWindow {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CVideoRenderer() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_input : nullptr; }

    // IVideoWindow
    HRESULT put_Owner(OAHWND owner) override;
    HRESULT put_WindowStyle(LONG style) override;
    HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT put_Visible(LONG visible) override;

private:
    friend class CVideoRendererInputPin;
    CVideoRenderer(IUnknown* outer, HRESULT* hr);

    CCritSec m_lock;
    CVideoRendererInputPin m_input;
    std::shared_ptr<VideoFrames> m_frames;
};

} // namespace th::media
