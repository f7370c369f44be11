#pragma once
// A main window with an open project, for the tests of the Capture Setup and
// Begin Work pages; the project lives in the test's own temporary folder.
#include "support/WizardFixture.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>

#include <string>

class SetupFixture : public wizard_test::WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        makeForm();
    }

    TTHProject& NewProject(const QString& Name = QStringLiteral("Tape"))
    {
        TTHProject& p = newProject(Name);
        p.CaptureJob = true;
        return p;
    }

    // What the wizard does on its way to the page.
    void EnterSetup()
    {
        form->PageControl->setCurrentWidget(form->CaptureSetupTab);
        form->EnterCaptureSetupPage();
        form->CaptureSetupTabShow();
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

};

inline std::string Text(const TTimecode& T)
{
    return QString::asprintf("%02d:%02d:%02d:%02d", T.Hours, T.Minutes, T.Seconds, T.Frames).toStdString();
}
