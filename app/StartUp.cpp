#include "app/StartUp.h"

#include "app/Dialogs.h"
#include "platform/dshow/TlmFileSink.h"
#include "platform/registry/Registry.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"

#include <QDir>
#include <QProcess>

namespace {

// The main thread waits this long for another program to let go of a hive:
// long enough for any sound writer, short enough not to freeze the window.
constexpr int kMainThreadBusyWaitMs = 1500;

QString LastRegistryError()
{
    return QString::fromStdString(th::registry::RegLastErrorText());
}

// The hive readable, or False when the user chose to end. What a damaged hive
// means differs by hive, so Damaged answers for it: True to go on.
template <class OnDamage>
bool SettleHive(HKEY Root, OnDamage Damaged)
{
    enum { Retry = 1, Exit = 2 };
    for (;;) {
        const LONG rc = th::registry::CheckHive(Root);
        if (rc == ERROR_SUCCESS)
            return true;
        const QString why = LastRegistryError();
        if (rc == ERROR_BADDB)
            return Damaged(why);
        const int answer = MessageDlgCustom(
            QStringLiteral("TapeHarvest cannot read its registry: %1.\n\nClose the program that holds it, or mend "
                           "what keeps it from being read, and press Retry; Exit ends TapeHarvest.")
                .arg(why),
            TMsgDlgType::mtError, {{QStringLiteral("Retry"), Retry}, {QStringLiteral("Exit"), Exit}}, Retry, Exit);
        if (answer != Retry)
            return false;
    }
}

// Renames the damaged file; its new name, or empty with a message shown.
QString SetAside(HKEY Root)
{
    std::string aside, error;
    if (th::registry::SetHiveAside(Root, &aside, &error))
        return QString::fromStdString(aside);
    MessageDlg(QString::fromStdString(error), TMsgDlgType::mtError, {TMsgDlgBtn::mbOK}, TMsgDlgBtn::mbOK);
    return QString();
}

} // namespace

bool PrepareRegistry(const QString& ProgramDir)
{
    th::registry::SetBusyWaitMs(kMainThreadBusyWaitMs);

    const bool settings = SettleHive(HKEY_CURRENT_USER, [](const QString& Why) {
        enum { Fresh = 1, Exit = 2 };
        const int answer = MessageDlgCustom(
            QStringLiteral("The settings of TapeHarvest cannot be read: %1.\n\nTapeHarvest can set the damaged file "
                           "aside (it is kept, renamed, beside the new one) and start with fresh settings: the "
                           "projects folder is asked for again and the list of projects starts empty (the projects "
                           "themselves are not touched and can be added again). Exit ends TapeHarvest and leaves the "
                           "file as it is.")
                .arg(Why),
            TMsgDlgType::mtError,
            {{QStringLiteral("Start with fresh settings"), Fresh}, {QStringLiteral("Exit"), Exit}}, Fresh, Exit);
        if (answer != Fresh || SetAside(HKEY_CURRENT_USER).isEmpty())
            return false;
        // A new file must work now, or nothing will.
        if (th::registry::CheckHive(HKEY_CURRENT_USER) != ERROR_SUCCESS) {
            MessageDlg(LastRegistryError(), TMsgDlgType::mtError, {TMsgDlgBtn::mbOK}, TMsgDlgBtn::mbOK);
            return false;
        }
        return true;
    });
    if (!settings)
        return false;

    // The classes hold only registrations, which are made again below.
    const bool classes = SettleHive(HKEY_CLASSES_ROOT, [](const QString& Why) {
        const QString aside = SetAside(HKEY_CLASSES_ROOT);
        if (!aside.isEmpty())
            MessageDlg(QStringLiteral("The registration of the AVI writer plugin cannot be read: %1.\n\nThe damaged "
                                      "file is kept as \"%2\", and the plugin is registered anew.")
                           .arg(Why, aside),
                       TMsgDlgType::mtWarning, {TMsgDlgBtn::mbOK}, TMsgDlgBtn::mbOK);
        return true;
    });
    if (!classes)
        return false;
    RegisterWriterPlugin(ProgramDir);
    return true;
}

void RegisterWriterPlugin(const QString& ProgramDir)
{
    {
        TRegistry reg(KEY_READ);
        reg.SetRootKey(HKEY_CLASSES_ROOT);
        const QString key = QStringLiteral("\\CLSID\\%1\\InprocServer32")
                                .arg(QString::fromStdString(GuidToText(CLSID_TlmAVIWriter)));
        try {
            if (reg.OpenKeyReadOnly(key) && FileExists(reg.ReadString(QString())))
                return;
        } catch (const std::exception&) {
            // A damaged entry is registered anew.
        }
    }
    for (const QString& module :
         {ProgramDir + QStringLiteral("/thmux.ax"), ProgramDir + QStringLiteral("/../lib/tharvest/thmux.ax")}) {
        if (!FileExists(module))
            continue;
        const int rc =
            QProcess::execute(ProgramDir + QStringLiteral("/regsvr"), {QStringLiteral("/s"), QDir::cleanPath(module)});
        if (rc != 0)
            qWarning("The AVI writer plugin %s could not be registered (regsvr ended with %d).",
                     qPrintable(QDir::cleanPath(module)), rc);
        return;
    }
    qWarning("The AVI writer plugin thmux.ax was not found beside %s.", qPrintable(ProgramDir));
}
