#pragma once
// The small parts of the GUI toolkit that the wizard's forms are made of:
// image lists, controls bound to actions, paths shortened to a label's width
// and the processing of pending messages. Main thread only.

#include <QIcon>
#include <QList>
#include <QPixmap>
#include <QString>

class QAbstractButton;
class QAction;
class QFontMetrics;
class QLabel;

// A list of images of one size, addressed by index.
class TImageList {
public:
    TImageList(int Width = 16, int Height = 16) : FWidth(Width), FHeight(Height) {}

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    int Count() const { return int(FImages.size()); }
    // Adds Image scaled to the list's size; its index.
    int Add(const QPixmap& Image);
    // An icon of the theme, or a drawn stand-in when the theme has none.
    int AddStandard(const QString& ThemeName, const QColor& Colour);
    // Null outside the list.
    QPixmap Image(int Index) const;
    QIcon Icon(int Index) const;

private:
    int FWidth;
    int FHeight;
    QList<QPixmap> FImages;
};

// An action of Owner named Name (its objectName), with its caption and its
// "short|long" hint.
QAction* NewAction(QObject* Owner, const char* Name, const QString& Caption, const QString& Hint = {});

// Binds Button to Action as the toolkit's action links do: the button shows
// the action's caption, hint, enabled, visible and checked state from now on,
// and a click runs the action. A click on a radio button that is already
// selected runs nothing. Binding again (NextBtn changes its action) replaces
// the earlier link.
void LinkAction(QAbstractButton* Button, QAction* Action);
// The action a button is bound to, or null.
QAction* LinkedAction(const QAbstractButton* Button);

// The short hint of an action's "short|long" hint text.
QString ShortHint(const QString& Hint);

// Path shortened in its middle with an ellipsis, so that it fits Width pixels.
QString MinimizeName(const QString& Path, const QFontMetrics& Metrics, int Width);
// Shows Path in Label shortened to the label's width, the full path as its hint.
void ShowShortenedPath(QLabel* Label, const QString& Path);

// Lets the event loop handle what is pending (painting, posted calls), as
// "processing pending messages" does.
void ProcessMessages();
