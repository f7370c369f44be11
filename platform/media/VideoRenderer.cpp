#include "platform/media/VideoRenderer.h"

#include "platform/media/MainThreadCall.h"

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

namespace th::media {

OAHWND WindowHandle(QWidget* widget)
{
    return widget ? static_cast<OAHWND>(widget->winId()) : 0;
}

QWidget* WidgetOfHandle(OAHWND handle)
{
    return handle ? QWidget::find(static_cast<WId>(handle)) : nullptr;
}

namespace {

bool onMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

// The frames between the streaming thread and the main thread: `back` is the
// streaming thread's, `pending` (the newest frame, under the mutex) is handed
// over, `front` is the main thread's and is what the window paints. The three
// images change places, so no frame is allocated once they all exist.
struct VideoFrames {
    std::mutex mutex;
    QImage back;
    QImage pending;
    bool hasPending = false;
    std::atomic<bool> presentQueued{false};

    // The main thread's.
    QImage front;
    QPointer<QWidget> window;
    int shown = 0;
    QRect rect;
    bool visible = false;
    LONG style = WS_CHILD | WS_CLIPSIBLINGS;

    // The format of the connection, set while stopped (or by a format change
    // on the streaming thread itself).
    int width = 0, height = 0, bytesPerPixel = 0;
    bool bottomUp = true;
    std::size_t stride = 0;

    void present();
};

namespace {

class VideoWindow final : public QWidget {
public:
    VideoWindow(QWidget* owner, std::shared_ptr<VideoFrames> frames) : QWidget(owner), m_frames(std::move(frames))
    {
        setObjectName(QStringLiteral("VideoRendererWindow"));
        setAttribute(Qt::WA_OpaquePaintEvent);
        setProperty("framesShown", 0);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const QImage& frame = m_frames->front;
        if (frame.isNull())
            p.fillRect(rect(), Qt::black);
        else
            p.drawImage(rect(), frame);
    }

private:
    std::shared_ptr<VideoFrames> m_frames;
};

} // namespace

namespace {

// The rows [first, last] in which two pictures of one size differ; first > last
// when none does.
std::pair<int, int> changedRows(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.format() != b.format())
        return {0, b.height() - 1};
    const std::size_t bytes = static_cast<std::size_t>(b.width()) * 4;
    int first = 0;
    while (first < b.height() && std::memcmp(a.constScanLine(first), b.constScanLine(first), bytes) == 0)
        ++first;
    int last = b.height() - 1;
    while (last > first && std::memcmp(a.constScanLine(last), b.constScanLine(last), bytes) == 0)
        --last;
    return {first, last};
}

} // namespace

void VideoFrames::present()
{
    // Cleared first: a frame that comes in while this runs posts a new call.
    presentQueued = false;
    std::pair<int, int> rows;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!hasPending)
            return;
        rows = changedRows(front, pending);
        std::swap(front, pending);
        hasPending = false;
    }
    ++shown;
    if (!window)
        return;
    window->setProperty("framesShown", shown);
    // Only the band of the window that shows the rows that changed: a still
    // picture (a paused tape) costs no painting.
    if (rows.first > rows.second || front.height() <= 0)
        return;
    const int h = window->height();
    const int top = static_cast<int>(static_cast<qint64>(rows.first) * h / front.height());
    const int bottom = static_cast<int>((static_cast<qint64>(rows.second + 1) * h + front.height() - 1) / front.height());
    window->update(QRect(0, top, window->width(), bottom - top));
}

// --- Pin ---------------------------------------------------------------------------------------

CVideoRendererInputPin::CVideoRendererInputPin(CVideoRenderer* renderer, CCritSec* lock, HRESULT* hr)
    : CRenderedInputPin("Video Renderer input", renderer, lock, hr, u"Input"), m_renderer(renderer)
{
}

namespace {

bool readFormat(const AM_MEDIA_TYPE& mt, VIDEOINFOHEADER* vih)
{
    if (!(mt.majortype == MEDIATYPE_Video) || !(mt.formattype == FORMAT_VideoInfo) || !mt.pbFormat ||
        mt.cbFormat < sizeof(VIDEOINFOHEADER))
        return false;
    std::memcpy(vih, mt.pbFormat, sizeof *vih);
    const BITMAPINFOHEADER& b = vih->bmiHeader;
    const WORD bits = mt.subtype == MEDIASUBTYPE_RGB24 ? 24 : mt.subtype == MEDIASUBTYPE_RGB32 ? 32 : 0;
    return bits != 0 && b.biBitCount == bits && b.biCompression == BI_RGB && b.biWidth > 0 && b.biWidth <= 8192 &&
           b.biHeight != 0 && b.biHeight >= -8192 && b.biHeight <= 8192;
}

} // namespace

HRESULT CVideoRendererInputPin::CheckMediaType(const CMediaType* type)
{
    VIDEOINFOHEADER vih;
    return type && readFormat(*type, &vih) ? S_OK : S_FALSE;
}

HRESULT CVideoRendererInputPin::SetMediaType(const CMediaType* type)
{
    VIDEOINFOHEADER vih;
    if (!type || !readFormat(*type, &vih))
        return VFW_E_TYPE_NOT_ACCEPTED;
    VideoFrames& f = *m_renderer->m_frames;
    const BITMAPINFOHEADER& b = vih.bmiHeader;
    f.width = b.biWidth;
    f.height = b.biHeight < 0 ? -b.biHeight : b.biHeight;
    f.bottomUp = b.biHeight > 0;
    f.bytesPerPixel = b.biBitCount / 8;
    f.stride = (static_cast<std::size_t>(f.width) * f.bytesPerPixel + 3) & ~std::size_t(3);
    f.back = QImage(f.width, f.height, QImage::Format_RGB32);
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.pending = QImage(f.width, f.height, QImage::Format_RGB32);
        f.hasPending = false;
    }
    return CRenderedInputPin::SetMediaType(type);
}

HRESULT CVideoRendererInputPin::Receive(IMediaSample* sample)
{
    HRESULT hr = CRenderedInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    VideoFrames& f = *m_renderer->m_frames;
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data)
        return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    if (f.width <= 0 || length < 0 || static_cast<std::size_t>(length) < f.stride * static_cast<std::size_t>(f.height))
        return E_INVALIDARG;

    if (f.back.width() != f.width || f.back.height() != f.height)
        f.back = QImage(f.width, f.height, QImage::Format_RGB32);
    const std::size_t rowBytes = static_cast<std::size_t>(f.width) * 4;
    for (int y = 0; y < f.height; ++y) {
        const BYTE* src = data + f.stride * static_cast<std::size_t>(f.bottomUp ? f.height - 1 - y : y);
        auto* dst = reinterpret_cast<std::uint32_t*>(f.back.scanLine(y));
        if (f.bytesPerPixel == 4) {
            // The window's own pixel format (blue, green, red, unused): as it is.
            std::memcpy(dst, src, rowBytes);
        } else {
            for (int x = 0; x < f.width; ++x)
                dst[x] = 0xFF000000u | (static_cast<std::uint32_t>(src[3 * x + 2]) << 16) |
                         (static_cast<std::uint32_t>(src[3 * x + 1]) << 8) | src[3 * x];
        }
    }
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        std::swap(f.back, f.pending);
        f.hasPending = true;
    }
    if (!f.presentQueued.exchange(true)) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app)
            PostToThreadOf(app, [frames = m_renderer->m_frames] { frames->present(); });
        else
            f.presentQueued = false;
    }
    return S_OK;
}

// --- Filter --------------------------------------------------------------------------------------

CUnknown* CVideoRenderer::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CVideoRenderer(outer, hr);
}

CVideoRenderer::CVideoRenderer(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("Video Renderer", outer, &m_lock, CLSID_VideoRenderer), m_input(this, &m_lock, hr),
      m_frames(std::make_shared<VideoFrames>())
{
}

CVideoRenderer::~CVideoRenderer()
{
    // The window belongs to the main thread; it goes there.
    if (onMainThread()) {
        if (m_frames->window)
            m_frames->window->deleteLater();
    } else if (QCoreApplication* app = QCoreApplication::instance()) {
        PostToThreadOf(app, [frames = m_frames] {
            if (frames->window)
                frames->window->deleteLater();
        });
    }
}

HRESULT CVideoRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IVideoWindow)
        return GetInterface(static_cast<IVideoWindow*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CVideoRenderer::put_Owner(OAHWND owner)
{
    if (!onMainThread())
        return RPC_E_WRONG_THREAD;
    VideoFrames& f = *m_frames;
    if (owner == 0) {
        if (f.window) {
            f.window->hide();
            f.window->deleteLater();
            f.window = nullptr;
        }
        return S_OK;
    }
    QWidget* parent = WidgetOfHandle(owner);
    if (!parent)
        return E_INVALIDARG;
    if (!f.window)
        f.window = new VideoWindow(parent, m_frames);
    else if (f.window->parentWidget() != parent)
        f.window->setParent(parent);
    f.window->setProperty("framesShown", f.shown);
    f.window->setGeometry(f.rect);
    f.window->setVisible(f.visible);
    return S_OK;
}

HRESULT CVideoRenderer::put_WindowStyle(LONG style)
{
    if (!onMainThread())
        return RPC_E_WRONG_THREAD;
    m_frames->style = style;
    return S_OK;
}

HRESULT CVideoRenderer::SetWindowPosition(LONG left, LONG top, LONG width, LONG height)
{
    if (!onMainThread())
        return RPC_E_WRONG_THREAD;
    if (width < 0 || height < 0)
        return E_INVALIDARG;
    VideoFrames& f = *m_frames;
    f.rect = QRect(left, top, width, height);
    if (f.window)
        f.window->setGeometry(f.rect);
    return S_OK;
}

HRESULT CVideoRenderer::put_Visible(LONG visible)
{
    if (!onMainThread())
        return RPC_E_WRONG_THREAD;
    if (visible != OATRUE && visible != OAFALSE)
        return E_INVALIDARG;
    VideoFrames& f = *m_frames;
    f.visible = visible == OATRUE;
    if (f.window)
        f.window->setVisible(f.visible);
    return S_OK;
}

} // namespace th::media
