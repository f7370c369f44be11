#include "app/TlmScnLV.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

// --- TScenesImageList -----------------------------------------------------------------------

TScenesImageList::TScenesImageList(QObject* Owner)
    : QObject(Owner),
      FFilmBGColor(QGuiApplication::palette().color(QPalette::Button)),
      FFilmLTColor(QGuiApplication::palette().color(QPalette::Base))
{
}

TScenesImageList::~TScenesImageList() = default;

void TScenesImageList::SetFilmWidth(int Value)
{
    if (Value == FFilmWidth)
        return;
    FFilmWidth = Value;
    FImageWidth = Value * 120 / 100;
    Resize();
    BuildFilm();
}

void TScenesImageList::SetFilmHeight(int Value)
{
    if (Value == FFilmHeight)
        return;
    FFilmHeight = Value;
    FImageHeight = Value * 140 / 100;
    Resize();
    BuildFilm();
}

void TScenesImageList::SetFilmBGColor(const QColor& Value)
{
    if (Value == FFilmBGColor)
        return;
    FFilmBGColor = Value;
    BuildFilm();
}

void TScenesImageList::SetFilmLTColor(const QColor& Value)
{
    if (Value == FFilmLTColor)
        return;
    FFilmLTColor = Value;
    BuildFilm();
}

QImage TScenesImageList::Image(int Index) const
{
    return Index >= 0 && Index < FImages.size() ? FImages.at(Index) : QImage();
}

// As with any image list, a new image size leaves no image of the old one.
void TScenesImageList::Resize()
{
    FImages.clear();
    emit Changed();
}

void TScenesImageList::Clear()
{
    FImages.clear();
    emit Changed();
}

void TScenesImageList::BuildFilm()
{
    const int w = qMax(FImageWidth, 0);
    const int h = qMax(FImageHeight, 0);
    FFilm = QImage(w, h, QImage::Format_RGB32);
    FX0 = (FImageWidth - FFilmWidth) / 2;
    FY0 = (FImageHeight - FFilmHeight) / 2;
    if (FFilm.isNull())
        return;
    FFilm.fill(FFilmBGColor);

    QPainter p(&FFilm);
    // Rectangles from (x1, y1) to (x2, y2), right and bottom bounds excluded.
    auto box = [&](int x1, int y1, int x2, int y2) { p.fillRect(QRect(x1, y1, x2 - x1, y2 - y1), FFilmLTColor); };

    const int holeHeight = FY0 * 66 / 100;
    const int holeWidth = holeHeight * 75 / 100;
    const int gap = holeWidth * 60 / 100;
    const int pitch = holeWidth + gap;
    const int holeTop = (FY0 - holeHeight) / 2;
    // A picture window too tall for its frame leaves no room for holes: the
    // frame is drawn without them.
    if (pitch > 0) {
        const int shift = holeWidth * 66 / 100;
        for (int i = 0; i <= w / pitch; ++i) {
            const int x = pitch * i - shift;
            box(x, holeTop, x + holeWidth, holeTop + holeHeight);
            box(x, h - holeTop - holeHeight, x + holeWidth, h - holeTop);
        }
    }

    const int bar = FX0 * 40 / 100;
    box(0, FY0, bar, FY0 + FFilmHeight);
    box(w - bar, FY0, w, FY0 + FFilmHeight);
}

int TScenesImageList::AddFrame(const QImage& Bitmap)
{
    if (Bitmap.isNull())
        return -1;
    QImage frame = FFilm.copy();
    if (!frame.isNull()) {
        QPainter p(&frame);
        p.drawImage(FX0, FY0, Bitmap);
    }
    FImages.append(frame);
    return int(FImages.size()) - 1;
}

// --- TTlmScenesListView ---------------------------------------------------------------------

TTlmScenesListView::TTlmScenesListView(QWidget* Owner) : QListWidget(Owner)
{
    setViewMode(QListView::IconMode);
    FImageList = new TScenesImageList(this);
    FImageList->SetFilmWidth(80);
    FImageList->SetFilmHeight(60);
    // The holes and side bars take the list's own colour, so they look cut out of the film.
    FImageList->SetFilmLTColor(palette().color(QPalette::Base));
    connect(FImageList, &TScenesImageList::Changed, this, &TTlmScenesListView::RefreshImages);
    RefreshImages();
}

TTlmScenesListView::~TTlmScenesListView()
{
    delete FImageList;
}

void TTlmScenesListView::Clear()
{
    FImageList->Clear();
    clear();
}

QListWidgetItem* TTlmScenesListView::AddScene(const QString& Caption, QImage& Bitmap)
{
    if (Bitmap.isNull())
        return nullptr;
    const QSize window(FImageList->FilmWidth(), FImageList->FilmHeight());
    if (Bitmap.size() != window)
        Bitmap = Bitmap.scaled(window, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const int index = FImageList->AddFrame(Bitmap);
    if (index < 0)
        return nullptr;
    auto* item = new QListWidgetItem(Caption);
    item->setData(ImageIndexRole, index);
    item->setIcon(QIcon(QPixmap::fromImage(FImageList->Image(index))));
    addItem(item);
    scrollToItem(item, QAbstractItemView::EnsureVisible);
    return item;
}

int TTlmScenesListView::ImageIndex(const QListWidgetItem* Item)
{
    return Item ? Item->data(ImageIndexRole).toInt() : -1;
}

// Items keep their image index; an index the list no longer holds shows no picture.
void TTlmScenesListView::RefreshImages()
{
    setIconSize(QSize(FImageList->Width(), FImageList->Height()));
    for (int i = 0; i < count(); ++i) {
        QListWidgetItem* it = item(i);
        const QImage image = FImageList->Image(ImageIndex(it));
        it->setIcon(image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image)));
    }
}
