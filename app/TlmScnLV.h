#pragma once
// The scenes list of the Capture page: one large icon per scene, the scene's
// first picture framed as a frame of cine film, its caption below.

#include <QColor>
#include <QImage>
#include <QList>
#include <QListWidget>
#include <QObject>
#include <QString>

// An image list of equally sized images that draws the film strip once into a
// template and frames every picture added with a copy of it. The image size is
// FilmWidth * 120 / 100 by FilmHeight * 140 / 100; the picture window of
// FilmWidth x FilmHeight lies centred in it. Changing the size empties the
// list; changing a colour applies to images added afterwards only.
class TScenesImageList : public QObject {
    Q_OBJECT

public:
    explicit TScenesImageList(QObject* Owner = nullptr);
    ~TScenesImageList() override;

    int FilmWidth() const { return FFilmWidth; }
    void SetFilmWidth(int Value);
    int FilmHeight() const { return FFilmHeight; }
    void SetFilmHeight(int Value);
    QColor FilmBGColor() const { return FFilmBGColor; }
    void SetFilmBGColor(const QColor& Value);
    QColor FilmLTColor() const { return FFilmLTColor; }
    void SetFilmLTColor(const QColor& Value);

    // Size of every image of the list (96 x 84 with a picture window of 80 x 60).
    int Width() const { return FImageWidth; }
    int Height() const { return FImageHeight; }
    int Count() const { return int(FImages.size()); }
    // The image at Index, or a null image outside the list.
    QImage Image(int Index) const;
    // The film-strip template every new image starts from.
    const QImage& Film() const { return FFilm; }

    // Frames Bitmap (drawn unscaled at the picture window's corner) and adds
    // it; the index of the new image, or -1 for a null bitmap.
    int AddFrame(const QImage& Bitmap);
    void Clear();

signals:
    // The image size changed or the images were emptied.
    void Changed();

private:
    void BuildFilm();
    void Resize();

    QImage FFilm;
    QColor FFilmBGColor;
    QColor FFilmLTColor;
    int FImageWidth = 80;
    int FImageHeight = 60;
    int FFilmHeight = 0;
    int FFilmWidth = 0;
    int FY0 = 0;
    int FX0 = 0;
    QList<QImage> FImages;
};

// Large icons of the images of ImageList, one item per scene.
class TTlmScenesListView : public QListWidget {
    Q_OBJECT

public:
    // The item role that holds an item's image index in ImageList.
    static constexpr int ImageIndexRole = Qt::UserRole + 1;

    explicit TTlmScenesListView(QWidget* Owner = nullptr);
    ~TTlmScenesListView() override;

    TScenesImageList* ImageList() const { return FImageList; }

    // Empties the images, then the items.
    void Clear();
    // Scales Bitmap in place to the picture window (smoothly) unless it has that
    // size already, frames it and appends an item with Caption, scrolled into
    // full view. The new item, or null (and nothing added) for a null bitmap.
    QListWidgetItem* AddScene(const QString& Caption, QImage& Bitmap);

    static int ImageIndex(const QListWidgetItem* Item);

private:
    void RefreshImages();

    TScenesImageList* FImageList = nullptr;
};
