#pragma once
// What the shell's tests share: a main window with a projects folder of its
// own, the program key read and written directly, message dialogs recorded
// and answered, and child processes talked to through pipes.
#include "app/Dialogs.h"
#include "app/Main.h"
#include "platform/rtl/TRegistry.h"
#include "project/Project.h"
#include "support/TestUtil.h"

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

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace shell_test {

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

// A message dialog as the window showed it.
struct Shown {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
};

// Records every message dialog and answers it with Answer; other dialogs
// are recorded by class name and rejected. Removes the hook when it goes.
class DialogRecorder {
public:
    explicit DialogRecorder(int Answer = mrOk) : answer(Answer)
    {
        SetModalHook([this](QDialog& d) -> int {
            if (auto* box = qobject_cast<QMessageBox*>(&d)) {
                messages.push_back({box->text(), box->icon(), box->windowTitle()});
                if (onMessage)
                    onMessage();
                return answer;
            }
            others.push_back(QString::fromLatin1(d.metaObject()->className()));
            return other ? other(d) : int(QDialog::Rejected);
        });
    }
    ~DialogRecorder() { SetModalHook({}); }

    int answer;
    std::vector<Shown> messages;
    QStringList others;
    std::function<int(QDialog&)> other;
    std::function<void()> onMessage;
};

// A main window whose projects folder lies in a folder of its own, so that
// nothing asks for one and nothing is made in the user's home.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        home = dir.qpath() + QStringLiteral("/home");
        projects = dir.qpath() + QStringLiteral("/projects");
        QDir().mkpath(home);
        QDir().mkpath(projects);
        savedHome = qgetenv("HOME");
        qputenv("HOME", home.toLocal8Bit());
        writeSz(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), projects);
        form = std::make_unique<TMainForm>();
    }

    void TearDown() override
    {
        SetModalHook({});
        form.reset();
        qputenv("HOME", savedHome);
    }

    // A new project in the projects folder, open in the window, that asks
    // for no shutdown.
    TTHProject& openNewProject(const QString& name = QStringLiteral("Holiday"))
    {
        form->FProject = TTHProject::CreateNew(projects, name);
        form->FProject->SetShutdown(false);
        form->UpdateCaption();
        return *form->FProject;
    }

    QWidget* page() const { return form->ActivePage(); }

    th::test::TempDir dir;
    QString home;
    QString projects;
    QByteArray savedHome;
    std::unique_ptr<TMainForm> form;
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
