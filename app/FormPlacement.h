#pragma once
// TFormPlacement: keeps a window's position, size and show state in the
// registry, in one section of an ini-style key (values as REG_SZ text):
//   "Flags"          "2" when a minimised window is to come back maximised, else "0"
//   "ShowCmd"        "1" normal, "2" minimised, "3" maximised
//   "PixelsPerInch"  the screen's logical dots per inch when saved
//   "MinMaxPos"      "%d,%d,%d,%d": the minimised and the maximised position (x, y, x, y; -1 for none)
//   "NormPos"        "%d,%d,%d,%d": left, top, right, bottom of the window's area inside its
//                    frame in the normal state (right and bottom exclusive); the frame the window
//                    system draws around it is its own and differs between desktops
// The placement is restored when the window is first shown and saved by the
// window when it closes. A value that is missing or damaged is ignored: the
// window keeps its design position and size. Main thread only.

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

class QWidget;

class TFormPlacement : public QObject {
public:
    explicit TFormPlacement(QWidget* Form);

    // The registry key ("\Software\Tolmar\TapeHarvest") and its section
    // ("Window"). Until a key is set nothing is restored or saved.
    void SetIniFileName(const QString& Key) { FIniFileName = Key; }
    void SetIniSection(const QString& Section) { FIniSection = Section; }
    QString IniFileName() const { return FIniFileName; }
    QString IniSection() const { return FIniSection; }

    // Restores what the section holds; false when it held no usable frame.
    // The first showing after a key was set restores by itself.
    bool RestoreFormPlacement();
    void SaveFormPlacement();
    bool Restored() const { return FRestored; }

    // "%d,%d,%d,%d" into four numbers; false for anything else.
    static bool ParseRect(const QString& Text, int (&Values)[4]);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    QPointer<QWidget> FForm;
    QString FIniFileName;
    QString FIniSection;
    bool FRestored = false;
};
