// The toolkit parts of the wizard's forms: action links, balloon hints and the
// modal-dialog seam.
#include "app/BalloonHint.h"
#include "app/Controls.h"
#include "app/Dialogs.h"

#include "platform/rtl/SysUtils.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include <gtest/gtest.h>

TEST(ActionLink, TheButtonFollowsItsActionAndAClickRunsIt)
{
    QWidget form;
    QAction action(QStringLiteral("&Next >"), &form);
    action.setToolTip(QStringLiteral("Next|Go to the next step"));
    QPushButton button(&form);
    LinkAction(&button, &action);
    int runs = 0;
    QObject::connect(&action, &QAction::triggered, [&] { ++runs; });

    EXPECT_EQ(button.text(), QStringLiteral("&Next >"));
    EXPECT_EQ(button.toolTip(), QStringLiteral("Next"));
    button.click();
    EXPECT_EQ(runs, 1);

    action.setEnabled(false);
    EXPECT_FALSE(button.isEnabled());
    button.click();
    EXPECT_EQ(runs, 1);

    // Binding again replaces the link: the old action no longer runs.
    QAction other(QStringLiteral("&New Project"), &form);
    int otherRuns = 0;
    QObject::connect(&other, &QAction::triggered, [&] { ++otherRuns; });
    LinkAction(&button, &other);
    EXPECT_EQ(button.text(), QStringLiteral("&New Project"));
    EXPECT_TRUE(button.isEnabled());
    button.click();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(otherRuns, 1);
    EXPECT_EQ(LinkedAction(&button), &other);
}

TEST(ActionLink, RadiosRunOnlyWhenTheirChoiceChanges)
{
    QWidget form;
    QActionGroup group(&form);
    QAction first(QStringLiteral("first"), &group);
    QAction second(QStringLiteral("second"), &group);
    first.setCheckable(true);
    second.setCheckable(true);
    first.setChecked(true);
    QRadioButton a(&form), b(&form);
    LinkAction(&a, &first);
    LinkAction(&b, &second);
    int runs = 0;
    QObject::connect(&first, &QAction::triggered, [&] { ++runs; });
    QObject::connect(&second, &QAction::triggered, [&] { ++runs; });

    EXPECT_TRUE(a.isChecked());
    a.click(); // already selected
    EXPECT_EQ(runs, 0);
    b.click();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(second.isChecked());
    EXPECT_FALSE(first.isChecked());
    EXPECT_FALSE(a.isChecked());

    // The action's state reaches the button without running anything.
    first.setChecked(true);
    EXPECT_TRUE(a.isChecked());
    EXPECT_EQ(runs, 1);
}

TEST(ActionLink, ACheckBoxHandsItsStateToTheAction)
{
    QWidget form;
    QAction action(QStringLiteral("job"), &form);
    action.setCheckable(true);
    QCheckBox box(&form);
    LinkAction(&box, &action);
    bool seen = false;
    QObject::connect(&action, &QAction::triggered, [&](bool checked) { seen = checked; });
    box.click();
    EXPECT_TRUE(action.isChecked());
    EXPECT_TRUE(seen);
    box.click();
    EXPECT_FALSE(action.isChecked());
    EXPECT_FALSE(seen);
}

TEST(Texts, TrimRemovesBlanksAndControlCharactersAtBothEnds)
{
    EXPECT_EQ(Trim(QStringLiteral(" \t\r\n My Video \x01")), QStringLiteral("My Video"));
    EXPECT_EQ(Trim(QStringLiteral("   ")), QString());
    EXPECT_EQ(Trim(QStringLiteral("a b")), QStringLiteral("a b"));
}

TEST(Texts, APathIsShortenedInItsMiddle)
{
    QWidget w;
    const QString path = QStringLiteral("/home/someone/TapeHarvest/a rather long project name/Video");
    const QString shortened = MinimizeName(path, w.fontMetrics(), w.fontMetrics().horizontalAdvance(path) / 2);
    EXPECT_LT(shortened.size(), path.size());
    EXPECT_TRUE(shortened.startsWith(QStringLiteral("/home")));
    EXPECT_TRUE(shortened.endsWith(QStringLiteral("Video")));
    EXPECT_TRUE(shortened.contains(QChar(0x2026)));
    EXPECT_EQ(MinimizeName(path, w.fontMetrics(), 100000), path);
}

TEST(BalloonHint, ShowsAtItsControlAndHidesAfterItsTime)
{
    QWidget form;
    form.resize(300, 200);
    QPushButton anchor(&form);
    anchor.setGeometry(10, 10, 80, 24);
    form.show();
    TImageList images(16, 16);
    images.AddStandard(QStringLiteral("dialog-information"), Qt::blue);
    TBalloonHint hint(&form);
    hint.SetImages(&images);

    hint.ShowHint(&anchor, 0, QStringLiteral("Start new project"),
                  QStringLiteral("Enter a new project name and press the Next button."), 50);
    EXPECT_TRUE(hint.Shown());
    EXPECT_EQ(hint.Title(), QStringLiteral("Start new project"));
    EXPECT_EQ(hint.Anchor(), &anchor);
    // Below the control.
    EXPECT_GE(hint.geometry().top(), anchor.mapToGlobal(QPoint(0, anchor.height())).y());

    QElapsedTimer t;
    t.start();
    while (hint.Shown() && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(hint.Shown());
    EXPECT_TRUE(hint.Title().isEmpty());

    hint.ShowHint(&anchor, 0, QStringLiteral("a"), QStringLiteral("b"), 0);
    hint.HideHint();
    EXPECT_FALSE(hint.Shown());
}

TEST(ModalSeam, AHookAnswersMessageDialogsAndSeesTheirText)
{
    QString text;
    QStringList buttons;
    SetModalHook([&](QDialog& d) {
        auto* box = qobject_cast<QMessageBox*>(&d);
        EXPECT_NE(box, nullptr);
        EXPECT_TRUE(d.isVisible());
        if (box) {
            text = box->text();
            for (QAbstractButton* b : box->buttons())
                buttons << b->text();
        }
        return int(mrNo);
    });
    const int r = MessageDlg(QStringLiteral("Do you wish to save project p?"), TMsgDlgType::mtConfirmation,
                             {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}, TMsgDlgBtn::mbYes);
    EXPECT_EQ(r, mrNo);
    EXPECT_EQ(text, QStringLiteral("Do you wish to save project p?"));
    EXPECT_EQ(buttons, (QStringList{QStringLiteral("&Yes"), QStringLiteral("&No"), QStringLiteral("Cancel")}));

    // A hook may press a button itself; the dialog's own result then stands.
    SetModalHook([](QDialog& d) {
        auto* box = qobject_cast<QMessageBox*>(&d);
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QStringLiteral("Rewrite"))
                b->click();
        return 2;
    });
    EXPECT_EQ(MessageDlgCustom(QStringLiteral("exists"), TMsgDlgType::mtConfirmation,
                               {{QStringLiteral("Rename"), 1}, {QStringLiteral("Rewrite"), 2},
                                {QStringLiteral("Cancel"), 3}},
                               1, 3),
              2);
    SetModalHook({});
    EXPECT_FALSE(HasModalHook());
}

TEST(ModalSeam, OtherDialogsCloseWithTheHooksResult)
{
    QDialog dialog;
    SetModalHook([](QDialog&) { return int(QDialog::Accepted); });
    EXPECT_EQ(ExecModal(dialog), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
    SetModalHook([](QDialog& d) {
        d.reject();
        return int(QDialog::Accepted);
    });
    EXPECT_EQ(ExecModal(dialog), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
    SetModalHook({});
}

TEST(Texts, AShortenedPathFollowsTheWidthOfItsLabel)
{
    QLabel label;
    const QString path = QStringLiteral("/home/someone/TapeHarvest/a rather long project name/Video");
    label.resize(40, 20);
    label.show();
    ShowShortenedPath(&label, path);
    EXPECT_NE(label.text(), path);
    EXPECT_EQ(label.toolTip(), path);
    label.resize(label.fontMetrics().horizontalAdvance(path) + 20, 20);
    QCoreApplication::processEvents();
    EXPECT_EQ(label.text(), path);
    ShowShortenedPath(&label, QStringLiteral("/tmp"));
    EXPECT_EQ(label.text(), QStringLiteral("/tmp"));
    EXPECT_EQ(label.toolTip(), QStringLiteral("/tmp"));
}
