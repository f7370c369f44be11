// Plays one process for the shell's tests and reports on stdout, one line per
// event:
//   th_shell_probe application   the application object's exception and message hooks
//   th_shell_probe instance NAME  an instance of program NAME in the single-instance list
//   th_shell_probe hold FILE      holds a registry hive as a program with a write transaction
//                                 open does, until its input is closed
#include "app/Application.h"
#include "platform/rtl/SysUtils.h"
#include "platform/win/ScreenSaver.h"
#include "platform/win/SingleInstance.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <stdexcept>

namespace {

void say(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

int application(int argc, char** argv)
{
    TApplication app(argc, argv);
    int caught = 0;
    app.SetOnException([&](const std::exception& E) {
        ++caught;
        std::printf("caught %s\n", E.what());
        std::fflush(stdout);
    });
    // An exception from a timer's slot, then one that is no std::exception.
    QTimer::singleShot(0, [] { throw Exception(QStringLiteral("boom")); });
    QTimer::singleShot(10, [] { throw 42; });
    // The loop goes on after both.
    QTimer::singleShot(50, [&] {
        say("loop goes on");
        app.quit();
    });
    app.exec();

    TMessage msg{WM_SYSCOMMAND, SC_SCREENSAVE, 0, 0};
    say(app.OfferMessage(msg) ? "swallowed without hook" : "passed without hook");
    app.SetOnMessage([](TMessage& m) { return m.WParam == SC_SCREENSAVE; });
    say(app.OfferMessage(msg) ? "swallowed" : "passed");
    app.SetOnMessage([](TMessage&) -> bool { throw std::runtime_error("hook failed"); });
    say(app.OfferMessage(msg) ? "swallowed after throw" : "passed after throw");
    // Without a session bus the screen saver stays alone.
    say(app.ScreenSaver() && app.ScreenSaver()->Idle() ? "screen saver idle" : "screen saver active");
    return caught == 3 ? 0 : 1;
}

int instance(int argc, char** argv)
{
    const QString name = QString::fromLocal8Bit(argv[2]);
    th::win::SingleInstance self(name);
    if (self.IsSecond()) {
        say("second");
        say(self.ActivateFirst() ? "activation confirmed" : "activation failed");
        return 0;
    }
    say("first");
    QCoreApplication app(argc, argv);
    int activations = 0;
    if (!self.Listen([&] {
            ++activations;
            say("activated");
        })) {
        say("cannot listen");
        return 2;
    }
    say("listening");
    // Ends when told on stdin, or after a while so that a lost test leaves nothing behind.
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    auto* stdinPoll = new QTimer(&app);
    QObject::connect(stdinPoll, &QTimer::timeout, &app, [&] {
        char c;
        const ssize_t n = ::read(0, &c, 1);
        if (n == 0 || (n == 1 && c == 'q'))
            app.quit();
    });
    ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
    stdinPoll->start(20);
    app.exec();
    self.StopListening();
    std::printf("activations %d\n", activations);
    return 0;
}

// SQLite's lock bytes of a database file (its pending byte, reserved byte and
// shared range), locked for writing: no other connection can read it.
int hold(const char* file)
{
    const int fd = ::open(file, O_RDWR | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0x40000000;
    lock.l_len = 512;
    if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0) {
        say("cannot hold");
        return 2;
    }
    say("holding");
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    ::close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "application") == 0)
        return application(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "instance") == 0)
        return instance(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "hold") == 0)
        return hold(argv[2]);
    std::fprintf(stderr, "usage: th_shell_probe application | instance NAME | hold FILE\n");
    return 2;
}
