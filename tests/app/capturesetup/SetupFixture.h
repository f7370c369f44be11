#pragma once
// A main window with an open project, for the tests of the Capture Setup and
// Begin Work pages; the project lives in the test's own temporary folder.
#include "app/Dialogs.h"
#include "app/Main.h"

#include "support/TestUtil.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString& S, std::ostream* Os)
{
    *Os << '"' << S.toStdString() << '"';
}

class SetupFixture : public ::testing::Test {
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
        form = std::make_unique<TMainForm>();
    }

    void TearDown() override
    {
        SetModalHook({});
        form.reset();
    }

    QString ProjectsPath() const { return dir.qpath() + "/Projects/"; }

    TTHProject& NewProject(const QString& Name = QStringLiteral("Tape"))
    {
        form->FProject = TTHProject::CreateNew(ProjectsPath(), Name);
        form->FProject->CaptureJob = true;
        return *form->FProject;
    }

    // What the wizard does on its way to the page.
    void EnterSetup()
    {
        form->PageControl->setCurrentWidget(form->CaptureSetupTab);
        form->EnterCaptureSetupPage();
        form->CaptureSetupTabShow();
    }

    template <class T>
    T* Find(const char* Name) const
    {
        T* w = form->findChild<T*>(QLatin1String(Name));
        EXPECT_NE(w, nullptr) << Name;
        return w;
    }

    // The range choice shown selected, by its tape option; -1 for none.
    int ShownRange() const
    {
        const QRadioButton* radios[] = {form->CapFromXtoNRadio, form->CapFromNtoXRadio, form->CapFromBtoERadio,
                                        form->CapSetupRadio, form->CapFromManualRadio};
        int shown = -1;
        for (int k = 0; k < 5; ++k)
            if (radios[k]->isChecked()) {
                EXPECT_EQ(shown, -1) << "two range choices selected";
                shown = k;
            }
        return shown;
    }

    static TTimecode Fields(const QSpinBox* H, const QSpinBox* M, const QSpinBox* S, const QSpinBox* F)
    {
        return MakeTimecode(BYTE(H->value()), BYTE(M->value()), BYTE(S->value()), BYTE(F->value()));
    }
    TTimecode From() const
    {
        return Fields(form->CapFromHSpin, form->CapFromMSpin, form->CapFromSSpin, form->CapFromFSpin);
    }
    TTimecode To() const { return Fields(form->CapToHSpin, form->CapToMSpin, form->CapToSSpin, form->CapToFSpin); }
    void SetFields(TTimecode From, TTimecode To)
    {
        form->CapFromHSpin->setValue(From.Hours);
        form->CapFromMSpin->setValue(From.Minutes);
        form->CapFromSSpin->setValue(From.Seconds);
        form->CapFromFSpin->setValue(From.Frames);
        form->CapToHSpin->setValue(To.Hours);
        form->CapToMSpin->setValue(To.Minutes);
        form->CapToSSpin->setValue(To.Seconds);
        form->CapToFSpin->setValue(To.Frames);
    }

    th::test::TempDir dir;
    std::unique_ptr<TMainForm> form;
};

inline std::string Text(const TTimecode& T)
{
    return QString::asprintf("%02d:%02d:%02d:%02d", T.Hours, T.Minutes, T.Seconds, T.Frames).toStdString();
}
