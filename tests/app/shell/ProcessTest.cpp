// What needs processes of its own: the application object's hooks, and one
// instance of the program per session.
#include "ShellFixture.h"

#include "app/StartUp.h"
#include "platform/registry/Registry.h"
#include "platform/win/SingleInstance.h"

#include <QFile>

#include <csignal>
#include <cstdlib>
#include <unistd.h>
#include <fstream>
#include <sstream>

using namespace shell_test;

namespace {

std::vector<std::string> lines(Child& child)
{
    std::vector<std::string> out;
    while (auto line = child.readLine(std::chrono::seconds(10)))
        out.push_back(*line);
    return out;
}

// The process ids in the program's instance list.
std::vector<long> listedPids(const std::string& program)
{
    std::ifstream in(th::win::InstanceFolder() + "/" + program + ".instances");
    std::vector<long> pids;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long pid = 0;
        if (fields >> pid)
            pids.push_back(pid);
    }
    return pids;
}

} // namespace

TEST(ApplicationTest, ExceptionsLeavingEventsGoToTheHandlerAndTheLoopGoesOn)
{
    // No session bus for the probe, so its screen saver stays idle.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    Child probe(shell_test::probe(), {"application"});
    ASSERT_TRUE(probe.started());
    probe.closeInput();
    const std::vector<std::string> out = lines(probe);
    EXPECT_EQ(probe.wait(), 0);
    EXPECT_EQ(out, (std::vector<std::string>{"caught boom", "caught Unknown exception", "loop goes on",
                                              "passed without hook", "swallowed", "caught hook failed",
                                              "passed after throw", "screen saver idle"}));
}

TEST(SingleInstanceTest, SecondStartOfTheProgramBringsTheFirstToTheFrontAndEnds)
{
    Child first(probe(), {"instance", "tharvest"});
    ASSERT_TRUE(first.waitForLine("first"));
    ASSERT_TRUE(first.waitForLine("listening"));

    std::string out;
    EXPECT_EQ(th::test::runProgram(tharvest(), {}, &out), 0) << out;
    EXPECT_TRUE(first.waitForLine("activated"));
    // It made no window: nothing of the window's start-up ran.
    EXPECT_EQ(out.find("Preferences"), std::string::npos);

    first.closeInput();
    EXPECT_TRUE(first.waitForLine("activations 1"));
    EXPECT_EQ(first.wait(), 0);
    EXPECT_TRUE(listedPids("tharvest").empty());
}

TEST(SingleInstanceTest, LaterInstancesAskTheFirstRegisteredOne)
{
    Child first(probe(), {"instance", "thprobe"});
    ASSERT_TRUE(first.waitForLine("first"));
    ASSERT_TRUE(first.waitForLine("listening"));
    for (int i = 0; i < 2; ++i) {
        Child second(probe(), {"instance", "thprobe"});
        EXPECT_TRUE(second.waitForLine("second"));
        EXPECT_TRUE(second.waitForLine("activation confirmed"));
        EXPECT_EQ(second.wait(), 0);
    }
    // Only the first stays listed; the others left the list when they ended.
    EXPECT_EQ(listedPids("thprobe"), std::vector<long>{long(first.pid())});
    first.closeInput();
    EXPECT_TRUE(first.waitForLine("activations 2"));
    EXPECT_EQ(first.wait(), 0);
}

TEST(SingleInstanceTest, InstanceThatDiedIsDroppedFromTheList)
{
    Child dead(probe(), {"instance", "thprobe"});
    ASSERT_TRUE(dead.waitForLine("listening"));
    const long deadPid = dead.pid();
    dead.kill();
    ASSERT_EQ(listedPids("thprobe"), std::vector<long>{deadPid});
    // Beside the list, or in the temporary folder when that path is too long.
    const char* tmp = std::getenv("TMPDIR");
    QString left = QString::fromStdString(th::win::InstanceFolder()) + QStringLiteral("/thprobe-%1.sock").arg(deadPid);
    if (!QFile::exists(left))
        left = QString::fromLocal8Bit(tmp && *tmp ? tmp : "/tmp") +
               QStringLiteral("/thprobe-%1-%2.sock").arg(::getuid()).arg(deadPid);
    ASSERT_TRUE(QFile::exists(left)) << left.toStdString();

    Child next(probe(), {"instance", "thprobe"});
    EXPECT_TRUE(next.waitForLine("first"));
    ASSERT_TRUE(next.waitForLine("listening"));
    EXPECT_EQ(listedPids("thprobe"), std::vector<long>{long(next.pid())});
    // The socket the killed one left behind is gone, the living one's stays.
    EXPECT_FALSE(QFile::exists(left));
    next.closeInput();
    EXPECT_EQ(next.wait(), 0);
}

TEST(SingleInstanceTest, ProgramsAndSessionsDoNotMeet)
{
    Child first(probe(), {"instance", "thprobe"});
    ASSERT_TRUE(first.waitForLine("listening"));
    // Another program name is a list of its own.
    Child other(probe(), {"instance", "thother"});
    EXPECT_TRUE(other.waitForLine("first"));
    other.closeInput();
    EXPECT_EQ(other.wait(), 0);
    // Another session folder too.
    th::test::TempDir session;
    const QByteArray saved = qgetenv("THARVEST_REGISTRY_DIR");
    qputenv("THARVEST_REGISTRY_DIR", session.qpath().toLocal8Bit());
    {
        Child elsewhere(probe(), {"instance", "thprobe"});
        EXPECT_TRUE(elsewhere.waitForLine("first"));
        elsewhere.closeInput();
        EXPECT_EQ(elsewhere.wait(), 0);
    }
    qputenv("THARVEST_REGISTRY_DIR", saved);
    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
}

TEST(SingleInstanceTest, FirstThatDoesNotAnswerLetsTheSecondEndAnyway)
{
    // A first instance that registered but never listens (hung at start-up).
    const std::string list = th::win::InstanceFolder() + "/thprobe.instances";
    Child sleeper("/bin/sleep", {"60"});
    ASSERT_TRUE(sleeper.started());
    {
        std::ofstream out(list);
        out << sleeper.pid() << " 0 " << th::win::InstanceFolder() << "/nobody.sock\n";
    }
    th::win::SingleInstance second(QStringLiteral("thprobe"));
    EXPECT_TRUE(second.IsSecond());
    // It gives up at its own deadline; the bound, far above it, only turns a
    // wait for the silent first into a failure.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(second.ActivateFirst(300));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    sleeper.kill();
}

TEST(SingleInstanceTest, DamagedListCountsAsNoInstance)
{
    const std::string list = th::win::InstanceFolder() + "/thprobe.instances";
    {
        std::ofstream out(list);
        out << "garbage line\n\n-5 x\n999999999 1 /nowhere\n";
    }
    th::win::SingleInstance self(QStringLiteral("thprobe"));
    EXPECT_FALSE(self.IsSecond());
    EXPECT_EQ(listedPids("thprobe"), std::vector<long>{long(getpid())});
}

// Another program holds the file of settings: the start waits briefly, says
// who holds it, and goes on once Retry finds it free.
TEST(RegistryHolderTest, AHeldRegistryNamesItsHolderAndRetryGoesOn)
{
    writeSz(QStringLiteral("Capture"), QStringLiteral("Volume"), QStringLiteral("0"));
    Child holder(probe(), {"hold", th::registry::HiveFile(HKEY_CURRENT_USER)});
    ASSERT_TRUE(holder.waitForLine("holding"));
    DialogRecorder dialogs(1);
    dialogs.onMessage = [&] {
        holder.closeInput();
        EXPECT_EQ(holder.wait(), 0);
    };
    EXPECT_TRUE(PrepareRegistry(QString::fromStdString(th::test::binDir())));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    const QString text = dialogs.messages[0].text;
    EXPECT_TRUE(text.contains(QStringLiteral(" is held by another program (process %1 (th_shell_probe))").arg(holder.pid())))
        << text.toStdString();
    EXPECT_TRUE(text.contains("press Retry")) << text.toStdString();
    EXPECT_EQ(readSz(QStringLiteral("Capture"), QStringLiteral("Volume")), QStringLiteral("0"));
}
