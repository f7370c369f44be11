#pragma once
// Balloon hints: a small bubble with an image, a bold header, a text and a
// close button, pointing at a control from below its right half, that hides
// itself after a time. One balloon per owner is shown at a time; showing a
// new one replaces it. Main thread only.

#include "app/Controls.h"

#include <QPainterPath>
#include <QPointer>
#include <QString>
#include <QWidget>

class QLabel;
class QTimer;
class QToolButton;

class TBalloonHint : public QWidget {
    Q_OBJECT

public:
    explicit TBalloonHint(QWidget* Owner);
    ~TBalloonHint() override;

    // The list the image index of ShowHint refers to; not owned.
    void SetImages(const TImageList* Images) { FImages = Images; }
    const TImageList* Images() const { return FImages; }

    void ShowHint(QWidget* Anchor, int ImageIndex, const QString& Title, const QString& Description,
                  int HideAfterMs);
    void HideHint();

    // What is shown now (empty and null while hidden).
    bool Shown() const { return isVisible(); }
    QString Title() const;
    QString Description() const;
    QWidget* Anchor() const { return FAnchor; }
    int HideAfterMs() const { return FHideAfterMs; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void place();
    // The outline: the body and the tail at FTailX, on top or at the bottom.
    QPainterPath Shape() const;

    const TImageList* FImages = nullptr;
    QPointer<QWidget> FAnchor;
    int FHideAfterMs = 0;
    bool FTailUp = true;
    int FTailX = 2 * 10;
    QLabel* FImage = nullptr;
    QLabel* FTitle = nullptr;
    QLabel* FText = nullptr;
    QToolButton* FClose = nullptr;
    QTimer* FTimer = nullptr;
};
