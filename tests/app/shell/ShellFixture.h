#pragma once
// What the shell's tests share: a main window with a projects folder of its
// own, the program key read and written directly, message dialogs recorded
// and answered, and child processes talked to through pipes.
#include "platform/rtl/TRegistry.h"
#include "support/WizardFixture.h"

#include <QAction>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace shell_test {

using wizard_test::DialogRecorder;
using wizard_test::Shown;

inline const QString kProgramKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest");

inline void writeSz(const QString& section, const QString& name, const QString& value)
{
    TRegIniFile ini(kProgramKey);
    ini.WriteString(section, name, value);
}

// The text of a REG_SZ value, "<missing>" or "<type N>" for anything else.
inline QString readSz(const QString& section, const QString& name)
{
    TRegistry reg;
    if (!reg.OpenKeyReadOnly(kProgramKey + QLatin1Char('\\') + section) || !reg.ValueExists(name))
        return QStringLiteral("<missing>");
    if (reg.GetDataType(name) != rdString)
        return QStringLiteral("<type %1>").arg(int(reg.GetDataType(name)));
    return reg.ReadString(name);
}

// The bytes of a choice history ("" when there is none), newest first.
inline std::string history(const QString& name)
{
    TRegistry reg;
    if (!reg.OpenKeyReadOnly(kProgramKey) || !reg.ValueExists(name))
        return {};
    unsigned char buf[5] = {};
    const int n = reg.ReadBinaryData(name, buf, 5);
    std::string s;
    for (int i = 0; i < n; ++i)
        s += char('0' + buf[i]);
    return s;
}

// A main window whose projects folder lies in a folder of its own, so that
// nothing asks for one and nothing is made in the user's home.
class WindowTest : public wizard_test::WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        home = dir.qpath() + QStringLiteral("/home");
        QDir().mkpath(home);
        savedHome = qgetenv("HOME");
        qputenv("HOME", home.toLocal8Bit());
        writeSz(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), projects);
        makeForm();
    }

    void TearDown() override
    {
        WizardFixture::TearDown();
        qputenv("HOME", savedHome);
    }

    // A new project in the projects folder, open in the window, that asks
    // for no shutdown.
    TTHProject& openNewProject(const QString& name = QStringLiteral("Holiday"))
    {
        TTHProject& p = newProject(name);
        p.SetShutdown(false);
        form->UpdateCaption();
        return p;
    }

    QWidget* page() const { return form->ActivePage(); }

    QString home;
    QByteArray savedHome;
};

// A child process with its stdin and stdout on pipes.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The next line of its output, without the line break; none at the
    // end of its output or after the time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads lines until one equals Line; false when it never came.
    bool waitForLine(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void closeInput();
    // Its exit status, or -1 when it has not ended in time (it is killed then).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void kill();
    int pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

private:
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    bool reaped_ = false;
};

// The probe and the program.
std::string probe();
std::string tharvest();

} // namespace shell_test
