#include "app/BalloonHint.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QRegion>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <vector>

namespace {
constexpr int kTail = 10; // height of the pointer at the top edge
constexpr int kRadius = 6;
} // namespace

TBalloonHint::TBalloonHint(QWidget* Owner) : QWidget(Owner, Qt::ToolTip | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("BalloonHint"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);

    FImage = new QLabel(this);
    FTitle = new QLabel(this);
    FTitle->setObjectName(QStringLiteral("BalloonTitle"));
    QFont bold = FTitle->font();
    bold.setBold(true);
    FTitle->setFont(bold);
    FText = new QLabel(this);
    FText->setObjectName(QStringLiteral("BalloonText"));
    FText->setWordWrap(true);
    FText->setMaximumWidth(360);
    FClose = new QToolButton(this);
    FClose->setObjectName(QStringLiteral("BalloonClose"));
    FClose->setAutoRaise(true);
    FClose->setText(QStringLiteral("\u00d7"));
    connect(FClose, &QToolButton::clicked, this, &TBalloonHint::HideHint);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(10, kTail + 8, 8, 10);
    grid->addWidget(FImage, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(FTitle, 0, 1);
    grid->addWidget(FClose, 0, 2, Qt::AlignTop | Qt::AlignRight);
    grid->addWidget(FText, 1, 1, 1, 2);

    FTimer = new QTimer(this);
    FTimer->setSingleShot(true);
    connect(FTimer, &QTimer::timeout, this, &TBalloonHint::HideHint);
}

TBalloonHint::~TBalloonHint() = default;

void TBalloonHint::ShowHint(QWidget* Anchor, int ImageIndex, const QString& Title, const QString& Description,
                            int HideAfterMs)
{
    FAnchor = Anchor;
    FHideAfterMs = HideAfterMs;
    const QPixmap image = FImages ? FImages->Image(ImageIndex) : QPixmap();
    FImage->setPixmap(image);
    FImage->setVisible(!image.isNull());
    FTitle->setText(Title);
    FText->setText(Description);
    adjustSize();
    place();
    show();
    raise();
    if (HideAfterMs > 0)
        FTimer->start(HideAfterMs);
    else
        FTimer->stop();
}

void TBalloonHint::HideHint()
{
    FTimer->stop();
    hide();
    FAnchor = nullptr;
}

QString TBalloonHint::Title() const
{
    return isVisible() ? FTitle->text() : QString();
}

QString TBalloonHint::Description() const
{
    return isVisible() ? FText->text() : QString();
}

namespace {

// The controls of Window that a balloon at Area (global) would hide, the
// anchor aside: every visible control a user reads or works, which texts and
// frames are not.
int CoveredControls(const QWidget* Window, const QWidget* Anchor, const QRect& Area)
{
    int covered = 0;
    for (const QWidget* w : Window->findChildren<QWidget*>()) {
        if (w == Anchor || !w->isVisible() || w->window() != Window)
            continue;
        const bool control = qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
                             qobject_cast<const QAbstractSpinBox*>(w) || qobject_cast<const QComboBox*>(w) ||
                             qobject_cast<const QAbstractSlider*>(w) || qobject_cast<const QAbstractItemView*>(w);
        // A spin box's own editor counts with the spin box.
        if (!control || qobject_cast<const QAbstractSpinBox*>(w->parentWidget()))
            continue;
        if (QRect(w->mapToGlobal(QPoint(0, 0)), w->size()).intersects(Area))
            ++covered;
    }
    return covered;
}

} // namespace

void TBalloonHint::place()
{
    if (!FAnchor)
        return;
    // The tail points at the middle of the control's right half, from below
    // it (or from above), with the body to the right of the tail or to its
    // left: of these the first place that hides the fewest other controls,
    // so that the balloon never covers what it explains. It stays inside the
    // anchor's window, where it can be seen and closed.
    const QPoint target = FAnchor->mapToGlobal(QPoint(FAnchor->width() * 3 / 4, FAnchor->height()));
    const QWidget* window = FAnchor->window();
    const QRect area(window->mapToGlobal(QPoint(0, 0)), window->size());
    struct Place {
        bool below;
        int x;
        int y;
        int covered;
    };
    std::vector<Place> places;
    for (const bool below : {true, false}) {
        if (below != FTailUp) {
            FTailUp = below;
            layout()->setContentsMargins(10, FTailUp ? kTail + 8 : 8, 8, FTailUp ? 10 : kTail + 10);
            adjustSize();
        }
        const int y = below ? target.y() : target.y() - FAnchor->height() - height();
        if (y < area.top() || y + height() > area.bottom() + 1)
            continue;
        for (const int x : {target.x() - 2 * kTail, target.x() + 2 * kTail - width()}) {
            const int fitted = std::max(area.left(), std::min(x, area.right() + 1 - width()));
            places.push_back({below, fitted, y, CoveredControls(window, FAnchor, QRect(fitted, y, width(), height()))});
        }
    }
    // No room either way: below, as far as it goes.
    Place best{true, target.x() - 2 * kTail, target.y(), 0};
    if (!places.empty())
        best = *std::min_element(places.begin(), places.end(),
                                 [](const Place& a, const Place& b) { return a.covered < b.covered; });
    if (best.below != FTailUp) {
        FTailUp = best.below;
        layout()->setContentsMargins(10, FTailUp ? kTail + 8 : 8, 8, FTailUp ? 10 : kTail + 10);
        adjustSize();
    }
    const int x = std::max(area.left(), std::min(best.x, area.right() + 1 - width()));
    FTailX = std::clamp(target.x() - x, kRadius + kTail, std::max(kRadius + kTail, width() - kRadius - kTail));
    move(x, best.y);
    // Without a compositing window manager nothing is translucent: the mask
    // keeps the corners and the room beside the tail from showing black.
    setMask(QRegion(Shape().toFillPolygon().toPolygon()));
}

QPainterPath TBalloonHint::Shape() const
{
    const qreal top = FTailUp ? kTail + 0.5 : 0.5;
    const QRectF body(0.5, top, width() - 1.0, height() - kTail - 1.0);
    QPainterPath path;
    path.addRoundedRect(body, kRadius, kRadius);
    QPainterPath tail;
    if (FTailUp) {
        tail.moveTo(FTailX - kTail, kTail + 1);
        tail.lineTo(FTailX, 0.5);
        tail.lineTo(FTailX + kTail, kTail + 1);
    } else {
        const qreal edge = height() - kTail - 1.0;
        tail.moveTo(FTailX - kTail, edge);
        tail.lineTo(FTailX, height() - 0.5);
        tail.lineTo(FTailX + kTail, edge);
    }
    tail.closeSubpath();
    return path.united(tail);
}

void TBalloonHint::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(palette().color(QPalette::ToolTipText));
    p.setBrush(palette().color(QPalette::ToolTipBase));
    p.drawPath(Shape());
}
