#include "app/TlmScnLV.h"

#include <QApplication>
#include <QPalette>
#include <QScrollBar>
#include <gtest/gtest.h>

namespace {

const QColor kBG(200, 40, 10);
const QColor kLT(10, 60, 220);

// Where the 96 x 84 film of an 80 x 60 picture window has its holes and bars:
// holes 5 x 7 at a pitch of 8 from x = -3, rows at y 2..8 and 75..81, bars
// 3 pixels wide level with the window (y 12..71).
bool IsCutOut(int x, int y)
{
    const bool holeRow = (y >= 2 && y < 9) || (y >= 75 && y < 82);
    const bool holeColumn = ((x + 3) % 8) < 5;
    const bool bar = (y >= 12 && y < 72) && (x < 3 || x >= 93);
    return (holeRow && holeColumn) || bar;
}

QImage Quadrants(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            img.setPixel(x, y, qRgb(right ? 255 : 0, bottom ? 255 : 0, right != bottom ? 128 : 0));
        }
    return img;
}

int Differences(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return -1;
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return n;
}

class ScenesListView : public ::testing::Test {
protected:
    TTlmScenesListView view;
};

} // namespace

// --- The film template ---------------------------------------------------------------------------

TEST_F(ScenesListView, FilmTemplateMatchesTheFrameGeometryPixelByPixel)
{
    TScenesImageList* list = view.ImageList();
    EXPECT_EQ(list->Width(), 96);
    EXPECT_EQ(list->Height(), 84);
    list->SetFilmBGColor(kBG);
    list->SetFilmLTColor(kLT);
    const QImage& film = list->Film();
    ASSERT_EQ(film.size(), QSize(96, 84));
    int wrong = 0;
    for (int y = 0; y < 84; ++y)
        for (int x = 0; x < 96; ++x) {
            const QRgb want = (IsCutOut(x, y) ? kLT : kBG).rgb();
            if (film.pixel(x, y) != want && ++wrong <= 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ")";
        }
    EXPECT_EQ(wrong, 0);
    // Thirteen holes per row: the last one starts at x 93 and is clipped.
    EXPECT_EQ(film.pixel(93, 2), kLT.rgb());
    EXPECT_EQ(film.pixel(95, 8), kLT.rgb());
    EXPECT_EQ(film.pixel(92, 2), kBG.rgb());
}

TEST_F(ScenesListView, DefaultColoursAreButtonFaceAndTheListsOwnColour)
{
    EXPECT_EQ(view.ImageList()->FilmBGColor(), QGuiApplication::palette().color(QPalette::Button));
    EXPECT_EQ(view.ImageList()->FilmLTColor(), view.palette().color(QPalette::Base));
    EXPECT_EQ(view.iconSize(), QSize(96, 84));
    EXPECT_EQ(view.viewMode(), QListView::IconMode);
}

TEST(ScenesImageList, LowPictureWindowGivesAFrameWithoutHoles)
{
    TScenesImageList list;
    list.SetFilmBGColor(kBG);
    list.SetFilmLTColor(kLT);
    for (int height : {1, 10, 19}) {
        list.SetFilmWidth(50);
        list.SetFilmHeight(height);
        const QImage& film = list.Film();
        ASSERT_EQ(film.size(), QSize(60, height * 140 / 100)) << height;
        const int y0 = (film.height() - height) / 2;
        for (int y = 0; y < film.height(); ++y)
            for (int x = 0; x < film.width(); ++x) {
                const bool bar = y >= y0 && y < y0 + height && (x < 2 || x >= 58);
                ASSERT_EQ(film.pixel(x, y), (bar ? kLT : kBG).rgb()) << height << ": " << x << ", " << y;
            }
    }
    // The smallest window that has holes: 20 high gives holes 1 x 2 at a pitch of 1.
    list.SetFilmHeight(20);
    EXPECT_EQ(list.Film().pixel(10, 1), kLT.rgb());
    EXPECT_EQ(list.Film().pixel(10, 0), kBG.rgb());
}

TEST(ScenesImageList, EmptyFilmBeforeTheWindowIsSetStaysUsable)
{
    TScenesImageList list;
    list.SetFilmWidth(0);
    list.SetFilmHeight(0);
    EXPECT_TRUE(list.Film().isNull());
    EXPECT_EQ(list.AddFrame(Quadrants(4, 4)), 0);
    list.SetFilmWidth(80);
    list.SetFilmHeight(60);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Film().size(), QSize(96, 84));
}

// --- Adding scenes -------------------------------------------------------------------------------

TEST_F(ScenesListView, LargePictureIsStretchedIntoTheWindowAndFramed)
{
    QImage picture = Quadrants(720, 576);
    QListWidgetItem* item = view.AddScene("01.02.2003 04:05:06", picture);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(picture.size(), QSize(80, 60)); // the caller's bitmap is resized in place
    EXPECT_EQ(item->text(), "01.02.2003 04:05:06");
    EXPECT_EQ(TTlmScenesListView::ImageIndex(item), 0);

    const QImage framed = view.ImageList()->Image(0);
    ASSERT_EQ(framed.size(), QSize(96, 84));
    const QImage& film = view.ImageList()->Film();
    for (int y = 0; y < 84; ++y)
        for (int x = 0; x < 96; ++x) {
            const bool inWindow = x >= 8 && x < 88 && y >= 12 && y < 72;
            const QRgb want = inWindow ? picture.pixel(x - 8, y - 12) : film.pixel(x, y);
            ASSERT_EQ(framed.pixel(x, y), want) << x << ", " << y;
        }
    // The quadrants survive the smooth scaling away from their borders.
    EXPECT_EQ(framed.pixel(8 + 10, 12 + 10), qRgb(0, 0, 0));
    EXPECT_EQ(framed.pixel(8 + 70, 12 + 10), qRgb(255, 0, 128));
    EXPECT_EQ(framed.pixel(8 + 10, 12 + 50), qRgb(0, 255, 128));
    EXPECT_EQ(framed.pixel(8 + 70, 12 + 50), qRgb(255, 255, 0));
}

TEST_F(ScenesListView, StretchingIsSmooth)
{
    // A pixel checkerboard averages to grey; picking single pixels would keep black or white.
    QImage board(720, 576, QImage::Format_RGB32);
    for (int y = 0; y < board.height(); ++y)
        for (int x = 0; x < board.width(); ++x)
            board.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    ASSERT_NE(view.AddScene("board", board), nullptr);
    for (QPoint at : {QPoint(10, 10), QPoint(40, 30), QPoint(79, 59)}) {
        const int grey = qGreen(board.pixel(at));
        EXPECT_GT(grey, 60) << at.x() << ", " << at.y();
        EXPECT_LT(grey, 195) << at.x() << ", " << at.y();
    }
}

TEST_F(ScenesListView, PictureOfTheWindowSizeIsAddedUnchanged)
{
    QImage picture = Quadrants(80, 60);
    picture.setPixel(0, 0, qRgb(1, 2, 3));
    const QImage before = picture;
    ASSERT_NE(view.AddScene("a", picture), nullptr);
    EXPECT_EQ(Differences(picture, before), 0);
    EXPECT_EQ(Differences(view.ImageList()->Image(0).copy(8, 12, 80, 60), before.convertToFormat(QImage::Format_RGB32)), 0);
}

TEST_F(ScenesListView, NullPictureAddsNothing)
{
    QImage none;
    EXPECT_EQ(view.AddScene("x", none), nullptr);
    EXPECT_EQ(view.count(), 0);
    EXPECT_EQ(view.ImageList()->Count(), 0);
    EXPECT_EQ(view.ImageList()->AddFrame(QImage()), -1);
}

TEST_F(ScenesListView, ClearEmptiesImagesAndItemsSoIndicesStartAgain)
{
    for (int i = 0; i < 3; ++i) {
        QImage p = Quadrants(100, 100);
        EXPECT_EQ(TTlmScenesListView::ImageIndex(view.AddScene(QString::number(i), p)), i);
    }
    view.Clear();
    EXPECT_EQ(view.count(), 0);
    EXPECT_EQ(view.ImageList()->Count(), 0);
    QImage p = Quadrants(100, 100);
    QListWidgetItem* item = view.AddScene("again", p);
    EXPECT_EQ(TTlmScenesListView::ImageIndex(item), 0);
    EXPECT_EQ(view.count(), 1);
    EXPECT_EQ(view.ImageList()->Count(), 1);
    EXPECT_FALSE(item->icon().isNull());
}

TEST_F(ScenesListView, ColourChangesApplyToLaterImagesOnly)
{
    TScenesImageList* list = view.ImageList();
    QImage p1 = Quadrants(80, 60);
    view.AddScene("first", p1);
    const QImage first = list->Image(0);

    // The same value again does not redraw the template.
    const qint64 key = list->Film().cacheKey();
    list->SetFilmBGColor(list->FilmBGColor());
    list->SetFilmLTColor(list->FilmLTColor());
    EXPECT_EQ(list->Film().cacheKey(), key);

    list->SetFilmBGColor(kBG);
    list->SetFilmLTColor(kLT);
    QImage p2 = Quadrants(80, 60);
    view.AddScene("second", p2);
    EXPECT_EQ(Differences(list->Image(0), first), 0);
    EXPECT_EQ(list->Image(1).pixel(50, 0), kBG.rgb());
    EXPECT_EQ(list->Image(1).pixel(3, 3), kBG.rgb());
    EXPECT_EQ(list->Image(1).pixel(1, 3), kLT.rgb());
    EXPECT_EQ(list->Image(1).pixel(1, 40), kLT.rgb());
}

TEST_F(ScenesListView, NewWindowSizeEmptiesTheImagesButNotTheItems)
{
    QImage p = Quadrants(80, 60);
    view.AddScene("kept", p);
    view.ImageList()->SetFilmWidth(100);
    EXPECT_EQ(view.ImageList()->Count(), 0);
    EXPECT_EQ(view.ImageList()->Width(), 120);
    ASSERT_EQ(view.count(), 1);
    EXPECT_TRUE(view.item(0)->icon().isNull());
    EXPECT_EQ(view.iconSize(), QSize(120, 84));

    QImage q = Quadrants(720, 576);
    view.AddScene("wide", q);
    EXPECT_EQ(q.size(), QSize(100, 60));
    EXPECT_EQ(view.ImageList()->Image(0).size(), QSize(120, 84));
}

TEST_F(ScenesListView, NewItemIsScrolledIntoFullView)
{
    view.resize(260, 200);
    view.show();
    QApplication::processEvents();
    QListWidgetItem* last = nullptr;
    for (int i = 0; i < 40; ++i) {
        QImage p = Quadrants(720, 576);
        last = view.AddScene(QString("scene %1").arg(i), p);
        QApplication::processEvents();
        const QRect r = view.visualItemRect(last);
        ASSERT_TRUE(view.viewport()->rect().contains(r)) << i;
    }
    EXPECT_GT(view.verticalScrollBar()->value(), 0);

    // Also from the top of a list that holds more than fits.
    view.scrollToTop();
    QApplication::processEvents();
    ASSERT_FALSE(view.viewport()->rect().contains(view.visualItemRect(last)));
    QImage p = Quadrants(80, 60);
    QListWidgetItem* item = view.AddScene("one more", p);
    QApplication::processEvents();
    EXPECT_TRUE(view.viewport()->rect().contains(view.visualItemRect(item)));
}
