#pragma once
// The Preferences dialog: sets the projects folder, in which every new project
// gets a folder of its own. The user picks a drive and a folder in a folder
// tree, makes a new folder or types a path; Apply (and OK) creates the folder
// when needed, hands it to the main window and stores it in the registry.
// Without a projects folder the dialog proposes one as soon as it is shown.
//
// The main window makes one for each showing, owned by itself, and shows it
// through ExecModal; the dialog frees itself when it closes
// (WA_DeleteOnClose), so the caller must not touch it after ExecModal
// returns. Handlers bound to the dialog's signals run through the main
// window's Guarded: an error is shown by its exception handler and the dialog
// stays open. Main thread only.

#include <QDialog>
#include <QString>

#include <vector>

class QCloseEvent;
class QFileSystemModel;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class QShowEvent;
class QSortFilterProxyModel;
class QTabWidget;
class QTreeView;
class TMainForm;
class TTlmDriveComboBox;

class TSetupForm : public QDialog {
    Q_OBJECT

public:
    explicit TSetupForm(TMainForm* Owner);
    ~TSetupForm() override;

    // True while the typed or selected folder has not been applied; the Apply
    // button is enabled exactly while it is.
    bool Modified = false;

    QTabWidget* PreferListPageControl = nullptr;
    QWidget* CaptureFolderTab = nullptr;
    QLabel* GetFolderHintLabel = nullptr;
    QLabel* CurrCapTitleLabel = nullptr;
    QLabel* CurrCapLabel = nullptr;
    TTlmDriveComboBox* CaptureDriveComboBox = nullptr;
    // Folders only, rooted at the selected drive's mount point, which is its
    // one top node.
    QTreeView* CaptureFolderTreeView = nullptr;
    QPushButton* MakeNewFolderBtn = nullptr;
    QLineEdit* NewPathEdit = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* ApplyBtn = nullptr;

    // Fills drive, tree, edit and current-folder label, and proposes a folder
    // (into the main window at once) when none is set.
    void FormShow();
    // Creates the folder of NewPathEdit with its missing parents and applies
    // it; raises when it cannot be created and applies nothing then.
    void ApplyBtnClick();
    void OkBtnClick();
    void CancelBtnClick();
    void FormClose();
    void CaptureDriveComboBoxChange();
    // A new folder under the selected one, its name then edited in place.
    void MakeNewFolderBtnClick();
    void CaptureFolderTreeViewClick();
    void CaptureFolderTreeViewChange();
    void CaptureFolderTreeViewAddFolder();
    void CaptureFolderTreeViewEdited();
    void NewPathEditChange();
    void UpdatePathEdit();
    void SetModified();
    void UpdateApplyButton();
    // The mount point of the drive proposed for a first projects folder: NTFS
    // class first, then free space; the selected drive when none qualifies
    // ("" when none is selected either).
    QString SuggestDrive();
    // Base (ending in "/") + "TapeHarvest", or the first of
    // "TapeHarvest (2)", "TapeHarvest (3)", ... that is no folder yet.
    static QString NewFolderName(const QString& Base);

    // The tree: its root (the drive's mount point, "" for none), the path of
    // its selected folder ("" for none), and selecting a folder below the root
    // (false when it is not there).
    QString TreeRoot() const { return FTreeRoot; }
    QString SelectedFolder() const;
    bool SelectFolder(const QString& Path);
    bool AutoRefresh() const { return FAutoRefresh; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void SetTreeRoot(const QString& Root);
    void SetAutoRefresh(bool On);
    QModelIndex SourceIndex(const QModelIndex& ViewIndex) const;

    TMainForm* FOwner;
    QFileSystemModel* FFolderModel = nullptr;
    QSortFilterProxyModel* FFolderView = nullptr;
    QString FTreeRoot;
    // The folder selected to show where a proposed folder, not made yet, will go.
    QString FProposalPlace;
    bool FAutoRefresh = true;
    std::vector<QMetaObject::Connection> FConnections;
};
