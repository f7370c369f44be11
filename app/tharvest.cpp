// The program entry: one instance per session, then the application, the main
// window and the two dialogs that live for the whole run, then the message loop.
#include "app/About.h"
#include "app/Application.h"
#include "app/DelProject.h"
#include "app/Main.h"
#include "app/StartUp.h"
#include "platform/start/PlatformStart.h"
#include "platform/win/SingleInstance.h"

#include <QCoreApplication>

namespace {

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

    // Settled before the window: a window made over unreadable settings
    // could not work.
    if (!PrepareRegistry(QCoreApplication::applicationDirPath()))
        return 1;

    // The platform's classes and devices, before anything asks for them.
    th::platform::Start();
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
