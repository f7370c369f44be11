#pragma once
// "Cannot find the file": the modal question the missing-file check asks about
// one captured file that is neither where the project says nor in the folder
// the user last pointed at. The caller sets MissingFileName, runs exec() and
// reads CheckResult (and NewFileName when it is ReplaceResult).

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QFileDialog;
class QLabel;
class QPushButton;

class TCheckFileForm : public QDialog {
    Q_OBJECT

public:
    // Values of CheckResult.
    static constexpr qint32 IgnoreResult = 0;
    static constexpr qint32 ReplaceResult = 1;
    static constexpr qint32 IgnoreAllResult = 10;

    explicit TCheckFileForm(QWidget* parent = nullptr);
    ~TCheckFileForm() override;

    QLabel* Image1 = nullptr;
    QLabel* TitleLabel = nullptr;
    QLabel* FileNameLabel = nullptr;
    QLabel* MainHintLabel = nullptr;
    QLabel* OtherHintLabel = nullptr;
    QPushButton* BrowseBtn = nullptr;
    QPushButton* IgnoreBtn = nullptr;
    QPushButton* IgnoreAllBtn = nullptr;
    QPushButton* OkBtn = nullptr;
    QFileDialog* OpenDialog = nullptr;

    QString MissingFileName;
    QString NewFileName;
    qint32 CheckResult = IgnoreResult;

    // Refreshes the hint, the OK button and the shortened file label.
    void UpdateControls();

    void BrowseBtnClick(QObject* Sender);
    void IgnoreBtnClick(QObject* Sender);
    void IgnoreAllBtnClick(QObject* Sender);
    void OkBtnClick(QObject* Sender);
    void FormActivate(QObject* Sender);

    // The open dialog's filter for a missing file, in the "text|mask|..."
    // form: the same name, the same extension, or everything.
    static QString OpenDialogFilter(const QString& missingFileName);
    // The same filter as Qt name filters ("text (mask)").
    static QStringList OpenDialogNameFilters(const QString& missingFileName);
    // The type name the shell registers for an extension (".avi"); without
    // one, the extension in upper case followed by " File".
    static QString ShellTypeName(const QString& extension);

    // Test seams. The answer hook, when set, runs on the dialog's own modal
    // loop each time the dialog is shown, so a test can press its buttons or
    // close it. The browse hook, when set, stands in for running OpenDialog:
    // it gets the prepared dialog and returns the picked path, or nothing for
    // a cancel. Both are process-wide; pass an empty function to remove.
    using AnswerHook = std::function<void(TCheckFileForm&)>;
    using BrowseHook = std::function<std::optional<QString>(QFileDialog&)>;
    static void SetAnswerHook(AnswerHook hook);
    static void SetBrowseHook(BrowseHook hook);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void centreOnMainWindow();
};
