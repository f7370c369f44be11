#include "capture/TlmVWin.h"

#include "capture/TlmUtil.h"

#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

namespace {
constexpr LONG WS_CHILD = 0x40000000;
constexpr LONG WS_CLIPSIBLINGS = 0x04000000;
} // namespace

TTlmVideoWindow::TTlmVideoWindow(QWidget* AOwner) : QWidget(AOwner)
{
    setObjectName("TTlmVideoWindow");
    resize(360, 288);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    setAutoFillBackground(true);
}

TTlmVideoWindow::~TTlmVideoWindow()
{
    // The renderer's window is neither hidden nor taken back here.
    FVideoWindow.Reset();
}

void TTlmVideoWindow::SetBackGround(const QImage& Value)
{
    if (!FBackGround.isNull() && Value.cacheKey() == FBackGround.cacheKey())
        return;
    FBackGround = Value.copy();
    update();
}

void TTlmVideoWindow::SetVideoMode(TVideoMode Value)
{
    if (Value == FVideoMode)
        return;
    FVideoMode = Value;
    DetachVideo();
    AttachVideo();
}

bool TTlmVideoWindow::AttachVideo()
{
    if (FVideoMode != vmNormal || !FGraph)
        return false;
    FVideoWindow.Reset();
    const bool result = FGraph->QueryInterface(IID_IVideoWindow, FVideoWindow.ReleaseAndGetVoidAddressOf()) == S_OK;
    if (!FVideoWindow)
        return result;
    // The window handle: the native window id, made now when there is none yet.
    CheckHResult(FVideoWindow->put_Owner(static_cast<OAHWND>(winId())));
    CheckHResult(FVideoWindow->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS));
    UpdateVideoPosition();
    CheckHResult(FVideoWindow->put_Visible(OATRUE));
    FAttached = true;
    update();
    return result;
}

void TTlmVideoWindow::DetachVideo()
{
    if (FVideoMode != vmNormal || !FGraph || !FVideoWindow)
        return;
    FAttached = false;
    CheckHResult(FVideoWindow->put_Visible(OAFALSE));
    CheckHResult(FVideoWindow->put_Owner(0));
    FVideoWindow.Reset();
    update();
}

void TTlmVideoWindow::UpdateVideoPosition()
{
    if (FVideoMode == vmNormal && FVideoWindow)
        CheckHResult(FVideoWindow->SetWindowPosition(0, 0, width(), height()));
}

void TTlmVideoWindow::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    if (FAttached || FBackGround.isNull())
        return;
    QPainter painter(this);
    // Integer halves, rounded towards zero, as the picture is centred.
    const int x = width() / 2 - FBackGround.width() / 2;
    const int y = height() / 2 - FBackGround.height() / 2;
    painter.drawImage(x, y, FBackGround);
}

void TTlmVideoWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    UpdateVideoPosition();
}
