// The program entry: one instance per session, then the application, the main
// window and the two dialogs that live for the whole run, then the message loop.
#include "app/About.h"
#include "app/Application.h"
#include "app/DelProject.h"
#include "app/Main.h"
#include "avi_writer/TlmFileSink.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"
#include "platform/win/SingleInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

namespace {

// The AVI writer plugin lies beside the program in the build tree and in
// lib/tharvest once installed. A user who has not registered it yet (or whose
// registration names a module that is gone) gets it registered on the first
// start, by regsvr as for any plugin; without it nothing can be captured.
void registerWriterPlugin()
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
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& module : {dir + QStringLiteral("/thmux.ax"), dir + QStringLiteral("/../lib/tharvest/thmux.ax")}) {
        if (!FileExists(module))
            continue;
        const int rc = QProcess::execute(dir + QStringLiteral("/regsvr"), {QStringLiteral("/s"), QDir::cleanPath(module)});
        if (rc != 0)
            qWarning("The AVI writer plugin %s could not be registered (regsvr ended with %d).",
                     qPrintable(QDir::cleanPath(module)), rc);
        return;
    }
    qWarning("The AVI writer plugin thmux.ax was not found beside %s.", qPrintable(dir));
}

void bringToFront(TMainForm& MainForm)
{
    if (MainForm.isMinimized())
        MainForm.setWindowState((MainForm.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    MainForm.show();
    MainForm.raise();
    MainForm.activateWindow();
}

} // namespace

int ProgramMain(int argc, char** argv)
{
    // Before the application exists: a second start only hands over to the first.
    th::win::SingleInstance instance(QStringLiteral("tharvest"));
    if (instance.IsSecond()) {
        instance.ActivateFirst();
        return 0;
    }

    TApplication app(argc, argv);
    // No display name: the window system would append it to every title,
    // which already names the program.
    registerWriterPlugin();

    TMainForm MainForm;
    app.SetOnException([&MainForm](const std::exception& E) { MainForm.ApplicationEventsException(E); });
    app.SetOnMessage([&MainForm](TMessage& Msg) { return MainForm.ApplicationEventsMessage(Msg); });
    instance.Listen([&MainForm] { bringToFront(MainForm); });

    // An exception ends the creation there; the window still opens.
    MainForm.Guarded([&MainForm] { MainForm.FormCreate(); });
    MainForm.SetDeleteProjectForm(new TDeleteProjectForm(&MainForm));
    MainForm.SetAboutForm(new TAboutForm(&MainForm));

    MainForm.show();
    const int result = app.exec();
    instance.StopListening();
    // Nothing may reach the window once it is gone.
    app.SetOnException({});
    app.SetOnMessage({});
    return result;
}

int main(int argc, char** argv)
{
    return ProgramMain(argc, argv);
}
