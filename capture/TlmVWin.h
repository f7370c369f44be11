#pragma once
// TTlmVideoWindow: the control that shows the capture engine's preview. It
// hands itself to the video renderer of the capture component's graph as the
// owner of the renderer's window, which then fills the control's client area;
// while no video is attached it paints its background picture centred on
// black. Main thread only.
//
// The owner handle given to the renderer (IVideoWindow::put_Owner) is the
// control's window handle, its native window id (QWidget::winId).

#include "platform/dshow/DShow.h"

#include <QImage>
#include <QWidget>

enum TVideoMode { vmNormal };

class TTlmVideoWindow : public QWidget {
public:
    explicit TTlmVideoWindow(QWidget* AOwner = nullptr);
    ~TTlmVideoWindow() override;

    QImage BackGround() const { return FBackGround; }
    void SetBackGround(const QImage& Value);
    TVideoMode VideoMode() const { return FVideoMode; }
    void SetVideoMode(TVideoMode Value);

    // Makes the graph's renderer window a child of the control; False without a
    // graph or when the graph has no video renderer. Raises when the renderer
    // refuses a step.
    bool AttachVideo();
    // Gives the renderer window back (nothing when none is attached).
    void DetachVideo();
    // Sizes the renderer window to the control.
    void UpdateVideoPosition();

    bool Attached() const { return FAttached; }
    // The graph whose renderer is shown; the capture component sets it at
    // every activation.
    void SetGraph(const ComPtr<IGraphBuilder>& Graph) { FGraph = Graph; }
    const ComPtr<IGraphBuilder>& Graph() const { return FGraph; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool FAttached = false;
    ComPtr<IVideoWindow> FVideoWindow;
    ComPtr<IGraphBuilder> FGraph;
    QImage FBackGround;
    TVideoMode FVideoMode = vmNormal;
};
