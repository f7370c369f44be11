// The screen-saver service: the requests it offers, the inhibition it holds
// while they are swallowed, and the desktop's D-Bus interface it talks to.
#include "ShellFixture.h"

#include "platform/win/ScreenSaver.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QThread>

#include <atomic>
#include <mutex>
#include <unistd.h>

using namespace shell_test;

namespace {

class FakeInhibitor : public th::win::ScreenSaverInhibitor {
public:
    struct Log {
        int inhibits = 0;
        std::vector<std::uint32_t> released;
        bool refuse = false;
    };
    explicit FakeInhibitor(Log& log) : log_(log) {}
    bool Inhibit(std::uint32_t& Cookie) override
    {
        ++log_.inhibits;
        if (log_.refuse)
            return false;
        Cookie = 100 + std::uint32_t(log_.inhibits);
        return true;
    }
    void UnInhibit(std::uint32_t Cookie) override { log_.released.push_back(Cookie); }

private:
    Log& log_;
};

// Offers recorded; swallows while Swallow is set.
struct Hook {
    bool swallow = false;
    std::vector<std::pair<UINT, WPARAM>> offered;
    th::win::ScreenSaverService::TOffer offer()
    {
        return [this](TMessage& m) {
            offered.emplace_back(m.Msg, m.WParam);
            return swallow;
        };
    }
};

} // namespace

TEST(ScreenSaverService, HoldsOneInhibitionWhileRequestsAreSwallowed)
{
    FakeInhibitor::Log log;
    Hook hook;
    {
        th::win::ScreenSaverService service(hook.offer(), std::make_unique<FakeInhibitor>(log), 60000);
        service.Poll();
        ASSERT_EQ(hook.offered.size(), 2u);
        EXPECT_EQ(hook.offered[0], std::make_pair(WM_SYSCOMMAND, SC_SCREENSAVE));
        EXPECT_EQ(hook.offered[1], std::make_pair(WM_SYSCOMMAND, SC_MONITORPOWER));
        EXPECT_EQ(log.inhibits, 0);
        EXPECT_FALSE(service.Inhibited());

        hook.swallow = true;
        service.Poll();
        service.Poll();
        EXPECT_EQ(log.inhibits, 1);
        EXPECT_TRUE(service.Inhibited());

        hook.swallow = false;
        service.Poll();
        EXPECT_FALSE(service.Inhibited());
        EXPECT_EQ(log.released, (std::vector<std::uint32_t>{101}));
        service.Poll();
        EXPECT_EQ(log.released.size(), 1u);

        // Start, stop, start again: a new inhibition with its own cookie,
        // released when the service goes.
        hook.swallow = true;
        service.Poll();
        EXPECT_EQ(log.inhibits, 2);
    }
    EXPECT_EQ(log.released, (std::vector<std::uint32_t>{101, 102}));
}

TEST(ScreenSaverService, RefusedInhibitionIsTriedAgain)
{
    FakeInhibitor::Log log;
    Hook hook;
    hook.swallow = true;
    log.refuse = true;
    th::win::ScreenSaverService service(hook.offer(), std::make_unique<FakeInhibitor>(log), 60000);
    service.Poll();
    EXPECT_FALSE(service.Inhibited());
    log.refuse = false;
    service.Poll();
    EXPECT_TRUE(service.Inhibited());
    EXPECT_EQ(log.inhibits, 2);
    hook.swallow = false;
    service.Poll();
    // Nothing was held from the refused attempt.
    EXPECT_EQ(log.released, (std::vector<std::uint32_t>{102}));
}

TEST(ScreenSaverService, WithoutABusItIsIdle)
{
    Hook hook;
    hook.swallow = true;
    th::win::ScreenSaverService service(hook.offer(), nullptr, 1);
    EXPECT_TRUE(service.Idle());
    service.Poll();
    th::test::waitUntil([] { return false; }, std::chrono::milliseconds(30));
    EXPECT_TRUE(hook.offered.empty());
    EXPECT_FALSE(service.Inhibited());
}

TEST(ScreenSaverService, TimerOffersPeriodically)
{
    FakeInhibitor::Log log;
    Hook hook;
    hook.swallow = true;
    th::win::ScreenSaverService service(hook.offer(), std::make_unique<FakeInhibitor>(log), 5);
    ASSERT_TRUE(th::test::waitUntil([&] { return service.Inhibited(); }, std::chrono::seconds(5)));
    hook.swallow = false;
    EXPECT_TRUE(th::test::waitUntil([&] { return !service.Inhibited(); }, std::chrono::seconds(5)));
}

TEST(ScreenSaverService, MainWindowSwallowsOnlyWhileCapturing)
{
    th::test::TempDir dir;
    TRegIniFile(kProgramKey).WriteString(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), dir.qpath());
    TMainForm form;
    FakeInhibitor::Log log;
    th::win::ScreenSaverService service([&](TMessage& m) { return form.ApplicationEventsMessage(m); },
                                        std::make_unique<FakeInhibitor>(log), 60000);
    service.Poll();
    EXPECT_FALSE(service.Inhibited());
    form.FCapturing = true;
    service.Poll();
    EXPECT_TRUE(service.Inhibited());
    form.FCapturing = false;
    service.Poll();
    EXPECT_FALSE(service.Inhibited());
    EXPECT_EQ(log.released.size(), 1u);
}

// --- The desktop's interface on a bus of the test's own --------------------------------------

namespace {

// Plays the desktop's screen saver; lives on a thread of its own, since the
// service's calls block the main thread until answered.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    std::mutex lock;
    QStringList calls;
    uint next = 7;

public slots:
    uint Inhibit(const QString& application, const QString& reason)
    {
        std::lock_guard g(lock);
        calls << QStringLiteral("Inhibit %1|%2").arg(application, reason);
        return next++;
    }
    void UnInhibit(uint cookie)
    {
        std::lock_guard g(lock);
        calls << QStringLiteral("UnInhibit %1").arg(cookie);
    }
};

} // namespace

TEST(ScreenSaverDBus, InhibitsAndReleasesThroughTheDesktopInterface)
{
    if (access("/usr/bin/dbus-daemon", X_OK) != 0)
        GTEST_SKIP() << "no dbus-daemon";
    th::test::TempDir dir;
    const std::string socket = "unix:path=" + dir.path() + "/bus";
    const std::string config = dir.path() + "/bus.conf";
    {
        FILE* f = std::fopen(config.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f,
                     "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                     "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                     "<busconfig><type>session</type><listen>%s</listen>"
                     "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                     "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n",
                     socket.c_str());
        std::fclose(f);
    }
    Child daemon("/usr/bin/dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address=1"});
    ASSERT_TRUE(daemon.started());
    const auto address = daemon.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(address.has_value());
    const QString busAddress = QString::fromStdString(*address);

    // The desktop's side.
    QThread desktopThread;
    desktopThread.start();
    auto* desktop = new FakeScreenSaver;
    desktop->moveToThread(&desktopThread);
    {
        QDBusConnection programBus = QDBusConnection::connectToBus(busAddress, QStringLiteral("th-program"));
        ASSERT_TRUE(programBus.isConnected());
        // No screen saver on the bus yet: refused, not hung.
        {
            auto early = th::win::MakeDBusScreenSaverInhibitor(programBus, QStringLiteral("a"), QStringLiteral("b"));
            ASSERT_NE(early, nullptr);
            std::uint32_t cookie = 0;
            EXPECT_FALSE(early->Inhibit(cookie));
        }

        QDBusConnection desktopBus = QDBusConnection::connectToBus(busAddress, QStringLiteral("th-desktop"));
        ASSERT_TRUE(desktopBus.isConnected());
        ASSERT_TRUE(desktopBus.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), desktop,
                                              QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(desktopBus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
        auto inhibitor = th::win::MakeDBusScreenSaverInhibitor(programBus, QStringLiteral("Tolmar TapeHarvest"),
                                                               QStringLiteral("A DV capture is running"));
        ASSERT_NE(inhibitor, nullptr);
        Hook hook;
        hook.swallow = true;
        {
            th::win::ScreenSaverService service(hook.offer(), std::move(inhibitor), 60000);
            service.Poll();
            EXPECT_TRUE(service.Inhibited());
            hook.swallow = false;
            service.Poll();
            EXPECT_FALSE(service.Inhibited());
            hook.swallow = true;
            service.Poll();
        }
        std::lock_guard g(desktop->lock);
        EXPECT_EQ(desktop->calls,
                  (QStringList{QStringLiteral("Inhibit Tolmar TapeHarvest|A DV capture is running"),
                               QStringLiteral("UnInhibit 7"),
                               QStringLiteral("Inhibit Tolmar TapeHarvest|A DV capture is running"),
                               QStringLiteral("UnInhibit 8")}));
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("th-desktop"));
    QDBusConnection::disconnectFromBus(QStringLiteral("th-program"));
    // Deleted on its own thread before that thread ends: a deleteLater posted
    // just before quit() may never run, and its event then leaks.
    QMetaObject::invokeMethod(desktop, [desktop] { delete desktop; }, Qt::BlockingQueuedConnection);
    desktopThread.quit();
    desktopThread.wait();
    daemon.kill();
}

TEST(ScreenSaverDBus, DisconnectedBusGivesNoInhibitor)
{
    QDBusConnection none = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                         QStringLiteral("th-nobus"));
    EXPECT_EQ(th::win::MakeDBusScreenSaverInhibitor(none, QStringLiteral("a"), QStringLiteral("b")), nullptr);
    QDBusConnection::disconnectFromBus(QStringLiteral("th-nobus"));
}

#include "ScreenSaverTest.moc"
