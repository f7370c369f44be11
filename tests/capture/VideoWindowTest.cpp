// The video window: its background, attaching and detaching the renderer's
// window, following the control's size; and the capture component's rules
// for the window it is given.
#include "CaptureFakes.h"

#include <QApplication>

#include <gtest/gtest.h>

using th::com::MakeCom;

namespace {

// A graph whose video renderer's window records what it is told.
class RendererGraph : public th::com::ComObject<IGraphBuilder, IVideoWindow> {
public:
    bool hasRenderer = true;
    HRESULT ownerResult = S_OK;
    std::vector<std::string> calls;

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IVideoWindow && !hasRenderer) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(riid, ppv);
    }
    HRESULT AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Connect(IPin*, IPin*) override { return E_NOTIMPL; }

    HRESULT put_Owner(OAHWND owner) override
    {
        calls.push_back(owner ? "owner " + std::to_string(owner) : "owner 0");
        return ownerResult;
    }
    HRESULT put_WindowStyle(LONG style) override
    {
        calls.push_back("style " + std::to_string(style));
        return S_OK;
    }
    HRESULT SetWindowPosition(LONG l, LONG t, LONG w, LONG h) override
    {
        calls.push_back(QString::asprintf("position %d %d %d %d", l, t, w, h).toStdString());
        return S_OK;
    }
    HRESULT put_Visible(LONG visible) override
    {
        calls.push_back("visible " + std::to_string(visible));
        return S_OK;
    }
};

std::string Owner(const TTlmVideoWindow& w)
{
    return "owner " + std::to_string(static_cast<OAHWND>(w.winId()));
}

QImage Filled(int w, int h, QColor c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    return img;
}

} // namespace

TEST(VideoWindow, ANewWindowIsBlackDetachedAndNamed)
{
    TTlmVideoWindow w;
    EXPECT_EQ(w.objectName(), "TTlmVideoWindow");
    EXPECT_EQ(w.size(), QSize(360, 288));
    EXPECT_FALSE(w.Attached());
    EXPECT_EQ(w.VideoMode(), vmNormal);
    EXPECT_TRUE(w.BackGround().isNull());
    const QImage shot = w.grab().toImage();
    EXPECT_EQ(shot.pixelColor(0, 0), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(180, 144), QColor(Qt::black)) << "nothing is painted without a background";
}

TEST(VideoWindow, TheBackgroundIsCentredAlsoWhenLarger)
{
    TTlmVideoWindow w;
    w.resize(101, 51);
    w.SetBackGround(Filled(11, 5, Qt::red)); // at (50 - 5, 25 - 2) = (45, 23)
    QImage shot = w.grab().toImage();
    EXPECT_EQ(shot.pixelColor(45, 23), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(55, 27), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(44, 23), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(56, 27), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(45, 28), QColor(Qt::black));

    // Larger than the control: negative offsets, (50 - 100, 25 - 50).
    QImage big = Filled(200, 100, Qt::green);
    for (int y = 0; y < 100; ++y)
        big.setPixelColor(50, y, Qt::blue); // shows at x = 0
    w.SetBackGround(big);
    shot = w.grab().toImage();
    EXPECT_EQ(shot.pixelColor(0, 10), QColor(Qt::blue));
    EXPECT_EQ(shot.pixelColor(1, 10), QColor(Qt::green));

    big.fill(Qt::white);
    EXPECT_EQ(w.BackGround().pixelColor(0, 0), QColor(Qt::green)) << "the window keeps a copy";
}

TEST(VideoWindow, AttachAndDetachHandTheRendererWindowOverAndBack)
{
    TTlmVideoWindow w;
    EXPECT_FALSE(w.AttachVideo()) << "no graph";
    w.DetachVideo();
    EXPECT_FALSE(w.Attached());

    auto graph = MakeCom<RendererGraph>();
    w.SetGraph(graph);
    w.DetachVideo();
    EXPECT_TRUE(graph->calls.empty()) << "nothing attached: nothing to give back";
    w.SetBackGround(Filled(20, 20, Qt::red));
    ASSERT_TRUE(w.AttachVideo());
    EXPECT_TRUE(w.Attached());
    EXPECT_EQ(graph->calls, (std::vector<std::string>{Owner(w), "style " + std::to_string(0x44000000),
                                                      "position 0 0 360 288", "visible -1"}));
    EXPECT_EQ(w.grab().toImage().pixelColor(180, 144), QColor(Qt::black)) << "no background while attached";

    graph->calls.clear();
    w.DetachVideo();
    EXPECT_FALSE(w.Attached());
    EXPECT_EQ(graph->calls, (std::vector<std::string>{"visible 0", "owner 0"}));
    EXPECT_EQ(w.grab().toImage().pixelColor(180, 144), QColor(Qt::red));
    graph->calls.clear();
    w.DetachVideo();
    EXPECT_TRUE(graph->calls.empty());
}

TEST(VideoWindow, TheRendererFollowsTheSizeOnlyWhileAttached)
{
    TTlmVideoWindow w;
    auto graph = MakeCom<RendererGraph>();
    w.SetGraph(graph);
    w.show();
    w.resize(200, 100);
    QApplication::processEvents();
    EXPECT_TRUE(graph->calls.empty());
    w.AttachVideo();
    graph->calls.clear();
    w.resize(320, 240);
    QApplication::processEvents();
    ASSERT_FALSE(graph->calls.empty());
    EXPECT_EQ(graph->calls.back(), "position 0 0 320 240");
    w.DetachVideo();
    graph->calls.clear();
    w.resize(100, 80);
    QApplication::processEvents();
    EXPECT_TRUE(graph->calls.empty());
}

TEST(VideoWindow, AGraphWithoutRendererOrARefusingRenderer)
{
    TTlmVideoWindow w;
    auto graph = MakeCom<RendererGraph>();
    graph->hasRenderer = false;
    w.SetGraph(graph);
    EXPECT_FALSE(w.AttachVideo()) << "no renderer: False, no error";
    EXPECT_FALSE(w.Attached());

    graph->hasRenderer = true;
    graph->ownerResult = E_FAIL;
    try {
        w.AttachVideo();
        ADD_FAILURE() << "no error";
    } catch (const EExternalException& e) {
        EXPECT_EQ(e.Message(), "External exception 80004005");
    }
    EXPECT_FALSE(w.Attached()) << "attached only after the last step";

    graph->ownerResult = S_OK;
    graph->calls.clear();
    w.SetVideoMode(vmNormal);
    EXPECT_TRUE(graph->calls.empty()) << "the mode it has: nothing happens";
}

TEST(VideoWindow, TheComponentAttachesWindowsItIsGivenAndDetachesOnClearing)
{
    TTlmVideoWindow first, second;
    auto graph = MakeCom<RendererGraph>();
    first.SetGraph(graph);
    second.SetGraph(graph);
    TTlmDVCapture dv;
    dv.SetPreviewWindow(&first);
    EXPECT_TRUE(first.Attached());
    EXPECT_EQ(dv.PreviewWindow(), &first);
    graph->calls.clear();
    dv.SetPreviewWindow(&first);
    EXPECT_TRUE(graph->calls.empty()) << "the same window: nothing";
    dv.SetPreviewWindow(&second);
    EXPECT_TRUE(second.Attached());
    EXPECT_TRUE(first.Attached()) << "the window before is not detached";
    dv.SetPreviewWindow(nullptr);
    EXPECT_FALSE(second.Attached());
    EXPECT_TRUE(first.Attached());
    EXPECT_EQ(dv.PreviewWindow(), nullptr);

    TTlmVideoWindow noGraph;
    dv.SetPreviewWindow(&noGraph);
    EXPECT_FALSE(noGraph.Attached()) << "the setter never hands a graph over";
    EXPECT_EQ(noGraph.Graph(), nullptr);
}
