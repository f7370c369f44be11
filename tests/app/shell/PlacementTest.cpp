// The window-placement store: what it writes, what it restores, and that a
// damaged value leaves the design frame.
#include "ShellFixture.h"

#include "app/FormPlacement.h"

#include <QWidget>

using namespace shell_test;

namespace {

const QString kSection = QStringLiteral("Window");

class PlacementTest : public ::testing::Test {
protected:
    // A window of the given design frame with its store pointed at the program key.
    std::unique_ptr<QWidget> window(QRect design = QRect(40, 30, 720, 560))
    {
        auto w = std::make_unique<QWidget>();
        w->setMinimumSize(700, 550);
        w->setGeometry(design);
        auto* p = new TFormPlacement(w.get());
        p->SetIniFileName(kProgramKey);
        p->SetIniSection(kSection);
        return w;
    }
    static TFormPlacement* store(QWidget& w) { return w.findChild<TFormPlacement*>(); }
    static void writeWindow(const QString& name, const QString& value) { writeSz(kSection, name, value); }
};

} // namespace

TEST_F(PlacementTest, SavedFrameComesBackWhenTheWindowIsFirstShown)
{
    {
        auto w = window();
        w->show();
        w->setGeometry(110, 120, 800, 600);
        store(*w)->SaveFormPlacement();
    }
    EXPECT_EQ(readSz(kSection, QStringLiteral("NormPos")), QStringLiteral("110,120,910,720"));
    EXPECT_EQ(readSz(kSection, QStringLiteral("ShowCmd")), QStringLiteral("1"));
    EXPECT_EQ(readSz(kSection, QStringLiteral("Flags")), QStringLiteral("0"));
    EXPECT_EQ(readSz(kSection, QStringLiteral("MinMaxPos")), QStringLiteral("-1,-1,-1,-1"));
    EXPECT_NE(readSz(kSection, QStringLiteral("PixelsPerInch")).toInt(), 0);

    auto again = window();
    EXPECT_FALSE(store(*again)->Restored());
    again->show();
    EXPECT_TRUE(store(*again)->Restored());
    EXPECT_EQ(again->geometry(), QRect(110, 120, 800, 600));
    // Later showings keep what the user did since.
    again->hide();
    again->setGeometry(10, 10, 750, 580);
    again->show();
    EXPECT_EQ(again->geometry(), QRect(10, 10, 750, 580));
}

TEST_F(PlacementTest, MaximisedWindowComesBackMaximisedWithItsNormalFrame)
{
    writeWindow(QStringLiteral("NormPos"), QStringLiteral("50,60,850,660"));
    writeWindow(QStringLiteral("ShowCmd"), QStringLiteral("3"));
    writeWindow(QStringLiteral("PixelsPerInch"), QString::number(QWidget().logicalDpiY()));
    auto w = window();
    w->show();
    EXPECT_TRUE(w->windowState() & Qt::WindowMaximized);
    store(*w)->SaveFormPlacement();
    EXPECT_EQ(readSz(kSection, QStringLiteral("ShowCmd")), QStringLiteral("3"));
    EXPECT_EQ(readSz(kSection, QStringLiteral("NormPos")), QStringLiteral("50,60,850,660"));
}

TEST_F(PlacementTest, DamagedValuesLeaveTheDesignFrame)
{
    const QRect design(40, 30, 720, 560);
    for (const char* damaged : {"", "abc", "1,2,3", "1,2,3,4,5", "300,300,100,100", "10,10,10,500",
                                "1,2,99999,500", "a,b,c,d", "10, 20 ,x,40"}) {
        writeWindow(QStringLiteral("NormPos"), QString::fromLatin1(damaged));
        auto w = window(design);
        w->show();
        EXPECT_EQ(w->geometry(), design) << damaged;
    }
    // A value of another type.
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kProgramKey + QStringLiteral("\\Window"), true));
        reg.WriteInteger(QStringLiteral("NormPos"), 5);
    }
    auto w = window(design);
    w->show();
    EXPECT_EQ(w->geometry(), design);
}

TEST_F(PlacementTest, SmallFrameGrowsToTheMinimumAndOtherScreensKeepTheSize)
{
    const int dpi = QWidget().logicalDpiY();
    writeWindow(QStringLiteral("NormPos"), QStringLiteral("5,6,105,106"));
    writeWindow(QStringLiteral("PixelsPerInch"), QString::number(dpi));
    {
        auto w = window();
        w->show();
        EXPECT_EQ(w->geometry(), QRect(5, 6, 700, 550));
    }
    // Saved at another resolution: the place is kept, the size is the design's.
    writeWindow(QStringLiteral("NormPos"), QStringLiteral("70,80,1070,880"));
    writeWindow(QStringLiteral("PixelsPerInch"), QString::number(dpi * 2));
    auto w = window();
    w->show();
    EXPECT_EQ(w->geometry(), QRect(70, 80, 720, 560));
}

TEST_F(PlacementTest, StoreWithoutAKeyDoesNothing)
{
    QWidget w;
    w.setGeometry(1, 2, 710, 560);
    TFormPlacement p(&w);
    p.SaveFormPlacement();
    EXPECT_EQ(readSz(kSection, QStringLiteral("NormPos")), QStringLiteral("<missing>"));
    w.show();
    EXPECT_FALSE(p.Restored());

    // A key set after an earlier showing is still restored from once.
    writeSz(kSection, QStringLiteral("NormPos"), QStringLiteral("30,40,770,640"));
    writeSz(kSection, QStringLiteral("PixelsPerInch"), QString::number(w.logicalDpiY()));
    p.SetIniFileName(kProgramKey);
    p.SetIniSection(kSection);
    w.hide();
    w.show();
    EXPECT_TRUE(p.Restored());
    EXPECT_EQ(w.geometry(), QRect(30, 40, 740, 600));
}

TEST_F(PlacementTest, ParseRectTakesFourNumbersOnly)
{
    int v[4];
    EXPECT_TRUE(TFormPlacement::ParseRect(QStringLiteral("-1,2,-3,4"), v));
    EXPECT_EQ(v[0], -1);
    EXPECT_EQ(v[3], 4);
    EXPECT_FALSE(TFormPlacement::ParseRect(QStringLiteral("1,2,3,"), v));
    EXPECT_FALSE(TFormPlacement::ParseRect(QStringLiteral("1;2;3;4"), v));
}

TEST(MainWindowPlacement, ClosingTheMainWindowSavesItsFrame)
{
    th::test::TempDir dir;
    writeSz(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), dir.qpath());
    int height = 0;
    {
        TMainForm form;
        form.FormCreate();
        form.show();
        // Above the smallest size the window's pages allow.
        height = form.minimumHeight() + 30;
        form.setGeometry(20, 25, 760, height);
        ASSERT_TRUE(form.close());
    }
    EXPECT_EQ(readSz(kSection, QStringLiteral("NormPos")), QStringLiteral("20,25,780,%1").arg(25 + height));
    TMainForm form;
    form.FormCreate();
    form.show();
    EXPECT_EQ(form.geometry(), QRect(20, 25, 760, height));
}
