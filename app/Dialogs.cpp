#include "app/Dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QUrl>

#include <sys/vfs.h>

namespace {

TModalHook& hook()
{
    static TModalHook h;
    return h;
}

QMessageBox::Icon iconOf(TMsgDlgType type)
{
    switch (type) {
    case TMsgDlgType::mtWarning: return QMessageBox::Warning;
    case TMsgDlgType::mtError: return QMessageBox::Critical;
    case TMsgDlgType::mtInformation: return QMessageBox::Information;
    case TMsgDlgType::mtConfirmation: return QMessageBox::Question;
    case TMsgDlgType::mtCustom: break;
    }
    return QMessageBox::NoIcon;
}

QString titleOf(TMsgDlgType type)
{
    switch (type) {
    case TMsgDlgType::mtWarning: return QStringLiteral("Warning");
    case TMsgDlgType::mtError: return QStringLiteral("Error");
    case TMsgDlgType::mtInformation: return QStringLiteral("Information");
    case TMsgDlgType::mtConfirmation: return QStringLiteral("Confirm");
    case TMsgDlgType::mtCustom: break;
    }
    return QStringLiteral("Tolmar TapeHarvest");
}

// File systems whose files are made up by the kernel: some block the reader
// (/proc/kmsg), and none holds video.
bool onPseudoFileSystem(const QString& Folder)
{
    struct statfs fs {};
    if (statfs(QFile::encodeName(Folder).constData(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x9fa0:     // proc
    case 0x62656572: // sysfs
    case 0x1cd1:     // devpts
    case 0x64626720: // debugfs
    case 0x74726163: // tracefs
    case 0x73636673: // securityfs
    case 0x27e0eb:   // cgroup
    case 0x63677270: // cgroup2
    case 0x6165676c: // pstore
    case 0xcafe4a11: // bpf
    case 0x62656570: // configfs
        return true;
    default:
        return false;
    }
}

QString safeStartFolder(const QString& StartFolder)
{
    QString folder = StartFolder.isEmpty() ? QString() : QDir::cleanPath(QDir(StartFolder).absolutePath());
    while (!folder.isEmpty() && !QFileInfo(folder).isDir()) {
        const QString up = QFileInfo(folder).path();
        folder = up == folder ? QString() : up;
    }
    if (folder.isEmpty() || onPseudoFileSystem(folder))
        return QDir::homePath();
    return folder;
}

struct StandardButton {
    QString caption;
    int result;
};

StandardButton standard(TMsgDlgBtn button)
{
    switch (button) {
    case TMsgDlgBtn::mbYes: return {QStringLiteral("&Yes"), mrYes};
    case TMsgDlgBtn::mbNo: return {QStringLiteral("&No"), mrNo};
    case TMsgDlgBtn::mbOK: return {QStringLiteral("OK"), mrOk};
    case TMsgDlgBtn::mbCancel: return {QStringLiteral("Cancel"), mrCancel};
    }
    return {QStringLiteral("OK"), mrOk};
}

int runMessageBox(const QString& msg, TMsgDlgType type, const std::vector<std::pair<QString, int>>& buttons,
                  int defaultResult, int escapeResult)
{
    QMessageBox box(iconOf(type), titleOf(type), msg, QMessageBox::NoButton, QApplication::activeWindow());
    box.setObjectName(QStringLiteral("MessageDlg"));
    std::vector<std::pair<QAbstractButton*, int>> made;
    for (const auto& [caption, result] : buttons) {
        QPushButton* b = box.addButton(caption, QMessageBox::ActionRole);
        b->setObjectName(QStringLiteral("MessageDlgButton%1").arg(result));
        made.emplace_back(b, result);
        if (result == defaultResult)
            box.setDefaultButton(b);
        if (result == escapeResult)
            box.setEscapeButton(b);
    }
    if (HasModalHook())
        return ExecModal(box);
    ExecModal(box);
    for (const auto& [b, result] : made)
        if (box.clickedButton() == b)
            return result;
    return escapeResult;
}

// Every dialog alike: a title and a close button, no minimise or maximise
// button (the window system offers those for any window that does not say
// otherwise). Message dialogs centred on the screen that holds the window
// they speak for, the others on the window that owns them.
void settleDialog(QDialog& Dialog)
{
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    flags |= Dialog.windowFlags() & Qt::MSWindowsFixedSizeDialogHint;
    if (Dialog.windowFlags() != flags)
        Dialog.setWindowFlags(flags);
    if (Dialog.isVisible())
        return;
    if (!Dialog.testAttribute(Qt::WA_Resized))
        Dialog.adjustSize();
    QWidget* owner = Dialog.parentWidget() ? Dialog.parentWidget()->window() : QApplication::activeWindow();
    QRect around;
    if (owner && !qobject_cast<QMessageBox*>(&Dialog))
        around = owner->frameGeometry();
    else if (QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        around = screen->availableGeometry();
    if (around.isValid())
        Dialog.move(around.center() - Dialog.rect().center());
}

} // namespace

int MessageDlg(const QString& Msg, TMsgDlgType Type, std::initializer_list<TMsgDlgBtn> Buttons, TMsgDlgBtn Default)
{
    std::vector<std::pair<QString, int>> buttons;
    int escape = mrCancel;
    bool hasCancel = false;
    for (TMsgDlgBtn b : Buttons) {
        const StandardButton s = standard(b);
        buttons.emplace_back(s.caption, s.result);
        hasCancel = hasCancel || b == TMsgDlgBtn::mbCancel;
    }
    if (!hasCancel)
        escape = Buttons.size() == 1 ? standard(*Buttons.begin()).result : mrNone;
    return runMessageBox(Msg, Type, buttons, standard(Default).result, escape);
}

int MessageDlgCustom(const QString& Msg, TMsgDlgType Type, const std::vector<std::pair<QString, int>>& Buttons,
                     int DefaultResult, int EscapeResult)
{
    return runMessageBox(Msg, Type, Buttons, DefaultResult, EscapeResult);
}

QFileDialog* NewFileDialog(QWidget* Parent, const char* Name, const QString& Caption, const QString& StartFolder)
{
    const QString folder = safeStartFolder(StartFolder);
    {
        // Qt's widget dialog lists the folder it remembers before the one it
        // is given: make that the start folder too.
        QSettings qt(QSettings::UserScope, QStringLiteral("QtProject"));
        qt.setValue(QStringLiteral("FileDialog/lastVisited"), QUrl::fromLocalFile(folder).toString());
    }
    auto* dialog = new QFileDialog(Parent, Caption, folder);
    dialog->setObjectName(QString::fromLatin1(Name));
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    return dialog;
}

int ExecModal(QDialog& Dialog)
{
    settleDialog(Dialog);
    if (!hook())
        return Dialog.exec();
    // A copy, so that a hook may replace itself while it answers.
    const TModalHook answer = hook();
    Dialog.show();
    QCoreApplication::processEvents();
    const int result = answer(Dialog);
    if (Dialog.isVisible())
        Dialog.done(result);
    return result;
}

void SetModalHook(TModalHook Hook)
{
    hook() = std::move(Hook);
}

bool HasModalHook()
{
    return bool(hook());
}
