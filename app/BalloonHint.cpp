#include "app/BalloonHint.h"

#include <QGridLayout>
#include <QRegion>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <algorithm>

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

void TBalloonHint::place()
{
    if (!FAnchor)
        return;
    // The tail points at the middle of the control's right half, from below
    // it, or from above when the window has no room below. The balloon stays
    // inside the anchor's window, where it can be seen and closed.
    const QPoint target = FAnchor->mapToGlobal(QPoint(FAnchor->width() * 3 / 4, FAnchor->height()));
    const QWidget* window = FAnchor->window();
    const QRect area(window->mapToGlobal(QPoint(0, 0)), window->size());
    const bool below = target.y() + height() <= area.bottom() + 1 ||
                       target.y() - FAnchor->height() - height() < area.top();
    if (below != FTailUp) {
        FTailUp = below;
        layout()->setContentsMargins(10, FTailUp ? kTail + 8 : 8, 8, FTailUp ? 10 : kTail + 10);
        adjustSize();
    }
    int x = target.x() - 2 * kTail;
    x = std::max(area.left(), std::min(x, area.right() + 1 - width()));
    const int y = FTailUp ? target.y() : target.y() - FAnchor->height() - height();
    FTailX = std::clamp(target.x() - x, kRadius + kTail, std::max(kRadius + kTail, width() - kRadius - kTail));
    move(x, y);
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
