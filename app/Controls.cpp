#include "app/Controls.h"

#include <QAbstractButton>
#include <QAction>
#include <QEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QRadioButton>

// --- TImageList -------------------------------------------------------------------------

int TImageList::Add(const QPixmap& Image)
{
    FImages.append(Image.size() == QSize(FWidth, FHeight)
                       ? Image
                       : Image.scaled(FWidth, FHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return int(FImages.size()) - 1;
}

int TImageList::AddStandard(const QString& ThemeName, const QColor& Colour)
{
    const QIcon themed = QIcon::fromTheme(ThemeName);
    if (!themed.isNull())
        return Add(themed.pixmap(FWidth, FHeight));
    // Offscreen and minimal desktops have no icon theme: a round mark of the
    // given colour keeps the layout and the image indexes as they should be.
    QPixmap mark(FWidth, FHeight);
    mark.fill(Qt::transparent);
    QPainter p(&mark);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Colour);
    p.setPen(Colour.darker(150));
    p.drawEllipse(QRectF(1, 1, FWidth - 2, FHeight - 2));
    return Add(mark);
}

QPixmap TImageList::Image(int Index) const
{
    return Index >= 0 && Index < FImages.size() ? FImages[Index] : QPixmap();
}

QIcon TImageList::Icon(int Index) const
{
    const QPixmap image = Image(Index);
    return image.isNull() ? QIcon() : QIcon(image);
}

QAction* NewAction(QObject* Owner, const char* Name, const QString& Caption, const QString& Hint)
{
    auto* action = new QAction(Caption, Owner);
    action->setObjectName(QString::fromLatin1(Name));
    if (!Hint.isEmpty())
        action->setToolTip(Hint);
    return action;
}

// --- Action links ----------------------------------------------------------------------

namespace {

// Lives as a child of its button; a new link deletes the old one.
class ActionLink : public QObject {
public:
    ActionLink(QAbstractButton* button, QAction* action) : QObject(button), button_(button), action_(action)
    {
        setObjectName(QStringLiteral("ActionLink"));
        connect(action, &QAction::changed, this, &ActionLink::update);
        connect(button, &QAbstractButton::pressed, this, [this] { wasChecked_ = button_->isChecked(); });
        connect(button, &QAbstractButton::clicked, this, &ActionLink::clicked);
        update();
    }

    QAction* action() const { return action_; }

private:
    void update()
    {
        if (!action_)
            return;
        button_->setText(action_->text());
        button_->setToolTip(ShortHint(action_->toolTip()));
        button_->setEnabled(action_->isEnabled());
        button_->setVisible(action_->isVisible());
        if (action_->isCheckable() || button_->isCheckable()) {
            button_->setCheckable(true);
            if (button_->isChecked() != action_->isChecked())
                button_->setChecked(action_->isChecked());
        }
    }

    void clicked()
    {
        if (!action_ || !action_->isEnabled())
            return;
        const bool radio = qobject_cast<QRadioButton*>(button_) != nullptr;
        if (radio && wasChecked_ && button_->isChecked())
            return;
        if (action_->isCheckable())
            action_->setChecked(button_->isChecked());
        emit action_->triggered(action_->isChecked());
    }

    QAbstractButton* button_;
    QPointer<QAction> action_;
    bool wasChecked_ = false;
};

ActionLink* findLink(const QAbstractButton* button)
{
    return button->findChild<ActionLink*>(QStringLiteral("ActionLink"), Qt::FindDirectChildrenOnly);
}

} // namespace

void LinkAction(QAbstractButton* Button, QAction* Action)
{
    delete findLink(Button);
    if (Action)
        new ActionLink(Button, Action);
}

QAction* LinkedAction(const QAbstractButton* Button)
{
    const ActionLink* link = findLink(Button);
    return link ? link->action() : nullptr;
}

QString ShortHint(const QString& Hint)
{
    const qsizetype bar = Hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? Hint : Hint.left(bar);
}

// --- Paths and messages -----------------------------------------------------------------

QString MinimizeName(const QString& Path, const QFontMetrics& Metrics, int Width)
{
    return Metrics.elidedText(Path, Qt::ElideMiddle, Width);
}

namespace {

// Shortens the label's path again whenever the label changes its width, so
// that the path fits the room the layout gives it, not the room it had when
// it was set.
class PathElider : public QObject {
public:
    explicit PathElider(QLabel* label) : QObject(label), label_(label)
    {
        setObjectName(QStringLiteral("PathElider"));
        label->installEventFilter(this);
        // The text must not ask for the width of the whole path.
        label->setSizePolicy(QSizePolicy::Ignored, label->sizePolicy().verticalPolicy());
    }

    void setPath(const QString& path)
    {
        path_ = path;
        label_->setToolTip(path);
        elide();
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Resize)
            elide();
        return false;
    }

private:
    void elide()
    {
        const int width = label_->width() > 0 ? label_->width() : label_->sizeHint().width();
        label_->setText(MinimizeName(path_, label_->fontMetrics(), width));
    }

    QLabel* label_;
    QString path_;
};

} // namespace

void ShowShortenedPath(QLabel* Label, const QString& Path)
{
    auto* elider = Label->findChild<PathElider*>(QStringLiteral("PathElider"), Qt::FindDirectChildrenOnly);
    if (!elider)
        elider = new PathElider(Label);
    elider->setPath(Path);
}

void ProcessMessages()
{
    QCoreApplication::processEvents();
}
