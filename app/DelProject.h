#pragma once
// TDeleteProjectForm: "Delete Project", the modal dialog behind the Projects
// page's "Delete" button. For one known project it removes, as ticked, its
// entry from the project list, its project file with the folder it leaves
// empty, and every captured file with its scene file. Made once at start-up
// and shown again for each deletion; the project must not be open in the
// main window while it is shown. Main thread only.

#include <QDialog>
#include <QString>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class TMainForm;

class TDeleteProjectForm : public QDialog {
    Q_OBJECT

public:
    explicit TDeleteProjectForm(TMainForm* MainForm);
    ~TDeleteProjectForm() override;

    // Set by the caller before each showing: the project file as listed and
    // the project's name as listed.
    QString FileName;
    QString ProjectName;

    QLabel* CaptionLabel = nullptr;
    QCheckBox* RemoveProjectCheckBox = nullptr;
    QCheckBox* DeleteProjectCheckBox = nullptr;
    QCheckBox* DeleteCapturedCheckBox = nullptr;
    QProgressBar* DelFilesProgress = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* HelpBtn = nullptr;

    // Every showing starts with only the first box ticked.
    void FormShow();
    void UpdateControls();
    // The click handler of the three boxes.
    void RemoveProjectCheckBoxClick();
    // Carries out the ticked deletions, then refreshes the main window's list
    // and closes. A failure to load or save the project raises (the dialog
    // stays open); single files that cannot be deleted are left as they are.
    void OkBtnClick();
    void CancelBtnClick();
    void HelpBtnClick();

    // True while OkBtnClick works; the dialog neither closes nor starts
    // another deletion meanwhile.
    bool Busy() const { return FBusy; }

    void done(int r) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    TMainForm* FMainForm;
    bool FBusy = false;
};
