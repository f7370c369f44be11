#include "app/FormPlacement.h"

#include "platform/rtl/TRegistry.h"

#include <QEvent>
#include <QStringList>
#include <QWidget>

namespace {

constexpr int kShowNormal = 1;
constexpr int kShowMinimized = 2;
constexpr int kShowMaximized = 3;
constexpr int kRestoreToMaximized = 2;
// Window-system coordinates are 16-bit on the displays this runs on; a frame
// beyond them is damage, not a placement.
constexpr int kCoordinateLimit = 32767;

QString formatRect(int a, int b, int c, int d)
{
    return QStringLiteral("%1,%2,%3,%4").arg(a).arg(b).arg(c).arg(d);
}

} // namespace

TFormPlacement::TFormPlacement(QWidget* Form) : QObject(Form), FForm(Form)
{
    setObjectName(QStringLiteral("FormPlacement"));
    if (Form)
        Form->installEventFilter(this);
}

bool TFormPlacement::ParseRect(const QString& Text, int (&Values)[4])
{
    const QStringList parts = Text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        Values[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return false;
    }
    return true;
}

bool TFormPlacement::RestoreFormPlacement()
{
    if (!FForm || FIniFileName.isEmpty())
        return false;
    FRestored = true;
    int norm[4];
    int showCmd = kShowNormal, flags = 0, ppi = 0;
    try {
        TRegIniFile ini(FIniFileName);
        if (!ParseRect(ini.ReadString(FIniSection, QStringLiteral("NormPos"), QString()), norm))
            return false;
        showCmd = ini.ReadInteger(FIniSection, QStringLiteral("ShowCmd"), kShowNormal);
        flags = ini.ReadInteger(FIniSection, QStringLiteral("Flags"), 0);
        ppi = ini.ReadInteger(FIniSection, QStringLiteral("PixelsPerInch"), 0);
    } catch (const ERegistryException&) {
        // A value of the wrong type, or a hive that cannot be read.
        return false;
    }
    const int left = norm[0], top = norm[1], right = norm[2], bottom = norm[3];
    for (int v : norm)
        if (v < -kCoordinateLimit || v > kCoordinateLimit)
            return false;
    if (right <= left || bottom <= top)
        return false;

    // A frame saved at another screen resolution keeps its place; its size
    // would no longer fit the fonts, so the design size stays.
    const QSize size = ppi == FForm->logicalDpiY() ? QSize(right - left, bottom - top) : FForm->size();
    FForm->setGeometry(QRect(QPoint(left, top), size.expandedTo(FForm->minimumSize())));
    // A window closed while minimised comes back in the state it had before.
    if (showCmd == kShowMaximized || (showCmd == kShowMinimized && (flags & kRestoreToMaximized)))
        FForm->setWindowState(FForm->windowState() | Qt::WindowMaximized);
    return true;
}

void TFormPlacement::SaveFormPlacement()
{
    if (!FForm || FIniFileName.isEmpty())
        return;
    const Qt::WindowStates state = FForm->windowState();
    const QRect frame = (state & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen))
                            ? FForm->normalGeometry()
                            : FForm->geometry();
    if (!frame.isValid())
        return;
    const int showCmd = (state & Qt::WindowMinimized)   ? kShowMinimized
                        : (state & Qt::WindowMaximized) ? kShowMaximized
                                                        : kShowNormal;
    const int flags = (state & Qt::WindowMinimized) && (state & Qt::WindowMaximized) ? kRestoreToMaximized : 0;
    TRegIniFile ini(FIniFileName);
    ini.WriteString(FIniSection, QStringLiteral("Flags"), QString::number(flags));
    ini.WriteString(FIniSection, QStringLiteral("ShowCmd"), QString::number(showCmd));
    ini.WriteString(FIniSection, QStringLiteral("PixelsPerInch"), QString::number(FForm->logicalDpiY()));
    ini.WriteString(FIniSection, QStringLiteral("MinMaxPos"), formatRect(-1, -1, -1, -1));
    ini.WriteString(FIniSection, QStringLiteral("NormPos"),
                    formatRect(frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()));
}

bool TFormPlacement::eventFilter(QObject* Watched, QEvent* Event)
{
    if (Watched == FForm && Event->type() == QEvent::Show && !FRestored) {
        RestoreFormPlacement();
    }
    return QObject::eventFilter(Watched, Event);
}
