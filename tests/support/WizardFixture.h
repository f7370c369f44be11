#pragma once
// What every test of the main window stands on: the window in a folder of the
// test's own, with a projects folder there, and the one way a test answers
// the window's dialogs (DialogRecorder, over the modal hook).
#include "app/Dialogs.h"
#include "app/Main.h"
#include "project/Project.h"
#include "support/TestUtil.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QStringList>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <vector>

// Readable QString values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace wizard_test {

// A message dialog as the window showed it.
struct Shown {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString name; // the dialog's objectName
};

// Records every message dialog and answers it with `answer`; any other
// dialog is recorded by class name and handed to `other` (rejected without
// one). Installed from construction (install() puts it back after a test's
// own hook) until it goes.
class DialogRecorder {
public:
    explicit DialogRecorder(int Answer = mrOk) : answer(Answer) { install(); }
    ~DialogRecorder() { SetModalHook({}); }
    DialogRecorder(const DialogRecorder&) = delete;
    DialogRecorder& operator=(const DialogRecorder&) = delete;

    void install()
    {
        SetModalHook([this](QDialog& d) -> int {
            if (auto* box = qobject_cast<QMessageBox*>(&d)) {
                messages.push_back({box->text(), box->icon(), box->windowTitle(), box->objectName()});
                if (onMessage)
                    onMessage();
                return answer;
            }
            others.push_back(QString::fromLatin1(d.metaObject()->className()));
            return other ? other(d) : int(QDialog::Rejected);
        });
    }

    // The texts of the message dialogs, in the order shown.
    QStringList texts() const
    {
        QStringList t;
        for (const Shown& m : messages)
            t << m.text;
        return t;
    }

    int answer;
    std::vector<Shown> messages;
    QStringList others;
    std::function<int(QDialog&)> other;
    std::function<void()> onMessage;
};

// The main window (made by makeForm, when the test is ready for it) and a
// projects folder in the test's own temporary folder. TearDown stops a
// capture still running, removes the window, then any dialog hook.
class WizardFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Qt's file dialogs keep their last folder in the user's settings,
        // which would carry one test's folders into every later dialog of
        // every program; this process keeps its own, in its own TMPDIR.
        static const bool ownSettings = [] {
            return qputenv("XDG_CONFIG_HOME", QFile::encodeName(QDir::tempPath() + "/config"));
        }();
        (void)ownSettings;
        projects = dir.qpath() + QStringLiteral("/Projects");
        ASSERT_TRUE(QDir().mkpath(projects));
    }

    void TearDown() override
    {
        SetModalHook({});
        if (form && form->FCapturing)
            form->StopCapture(false);
        form.reset();
    }

    TMainForm& makeForm()
    {
        form = std::make_unique<TMainForm>();
        return *form;
    }

    // A new project in the projects folder, open in the window.
    TTHProject& newProject(const QString& name)
    {
        form->FProject = TTHProject::CreateNew(projects + QLatin1Char('/'), name);
        return *form->FProject;
    }

    th::test::TempDir dir;
    QString projects;
    std::unique_ptr<TMainForm> form;
};

} // namespace wizard_test
