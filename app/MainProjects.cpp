// The Select Project page: a new project's name or a known project from the
// registry's project list, and the operations through which the window
// creates, opens, renames and closes its one project.
#include "app/Main.h"

#include "platform/riff/AviRepair.h"

#include "app/DelProject.h"
#include "app/Dialogs.h"

#include <memory>
#include "app/TlmScnLV.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"

#include <QActionGroup>
#include <QEvent>
#include <QFocusEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString kProjectsKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest\\Projects");
const QString kNameValue = QStringLiteral("Name");
const QString kFileNameValue = QStringLiteral("FileName");
// The folder the project-file dialog was first given, as its initial folder.
const char* const kInitialDirProperty = "thInitialDir";

struct ProjectEntry {
    bool hasName = false;
    QString name;
    bool hasFileName = false;
    QString fileName;
};

// One subkey of the list; raises the registry's error for a value of the wrong type.
ProjectEntry readEntry(const QString& key)
{
    ProjectEntry entry;
    TRegistry reg;
    if (!reg.OpenKeyReadOnly(kProjectsKey + QLatin1Char('\\') + key))
        return entry;
    entry.hasName = reg.ValueExists(kNameValue);
    if (entry.hasName)
        entry.name = reg.ReadString(kNameValue);
    entry.hasFileName = reg.ValueExists(kFileNameValue);
    if (entry.hasFileName)
        entry.fileName = reg.ReadString(kFileNameValue);
    return entry;
}

QStringList projectKeys(TRegistry& reg)
{
    QStringList keys;
    if (reg.OpenKey(kProjectsKey, true))
        reg.GetKeyNames(keys);
    return keys;
}

// Items in the order of their captions as text, as a sorted report list
// keeps them: letter case decides only between otherwise equal captions.
class ProjectItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;

    bool operator<(const QTreeWidgetItem& other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        const QString a = text(column);
        const QString b = other.text(column);
        const int c = QString::compare(a, b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    }
};

// The name edit's focus and mouse events, for the first click that selects
// its whole text.
class NameEditWatcher : public QObject {
public:
    NameEditWatcher(TMainForm* form, QLineEdit* edit) : QObject(edit), form_(form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::FocusIn) {
            // The window or a menu giving the focus back is no entering.
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                form_->Guarded([this] { form_->NewProjectEditEnter(); });
        }
        else if (event->type() == QEvent::MouseButtonRelease)
            form_->Guarded([this] { form_->NewProjectEditMouseUp(); });
        return QObject::eventFilter(watched, event);
    }

private:
    TMainForm* form_;
};

// The enabled states that follow the page's choice.
void showChoice(TMainForm& f, bool newChoice)
{
    f.NewProjectEdit->setEnabled(newChoice);
    f.ChangeFolderProject->setEnabled(newChoice);
    f.ProjectFolderLabel->setEnabled(newChoice);
    f.ProjectFolderTitleLabel->setEnabled(newChoice);
    f.ProjectsListBox->setEnabled(!newChoice);
}

void settleChoice(TMainForm& f)
{
    const bool listEnabled = f.ProjectsListBox->isEnabledTo(f.ProjectsTab);
    if (!listEnabled)
        f.ProjectsListBox->clearSelection();
    f.AddProject->setEnabled(listEnabled);
    f.UpdateDeleteAction();
    f.UpdateNavigation();
}

} // namespace

void TMainForm::CreateProjectsPage()
{
    ProjectsTab = new QWidget;
    ProjectsTab->setObjectName(QStringLiteral("ProjectsTab"));
    PageControl->addWidget(ProjectsTab);

    if (x16ImageList.Count() == 0)
        x16ImageList.AddStandard(QStringLiteral("video-x-generic"), QColor(0x2f, 0x6f, 0xb7));

    NewProject = NewAction(this, "NewProject", QStringLiteral("Enter a ne&w project name"));
    OpenProject = NewAction(this, "OpenProject", QStringLiteral("Or &select an existing project from the list"));
    auto* choices = new QActionGroup(this);
    choices->setObjectName(QStringLiteral("ProjectChoiceGroup"));
    choices->setExclusive(true);
    for (QAction* a : {NewProject, OpenProject}) {
        a->setCheckable(true);
        choices->addAction(a);
        Bind(a, &QAction::triggered, &TMainForm::NewProjectExecute);
    }
    NewProject->setChecked(true);
    AddProject = NewAction(this, "AddProject", QStringLiteral("Browse..."));
    Bind(AddProject, &QAction::triggered, &TMainForm::AddProjectExecute);
    DelProject = NewAction(this, "DelProject", QStringLiteral("Delete"));
    Bind(DelProject, &QAction::triggered, &TMainForm::DelProjectExecute);
    ChangeFolderProject = NewAction(this, "ChangeFolderProject", QStringLiteral("Change..."));
    Bind(ChangeFolderProject, &QAction::triggered, &TMainForm::ChangeFolderProjectExecute);

    auto* layout = new QVBoxLayout(ProjectsTab);

    NewProjectRadio = new QRadioButton(ProjectsTab);
    NewProjectRadio->setObjectName(QStringLiteral("NewProjectRadio"));
    LinkAction(NewProjectRadio, NewProject);
    layout->addWidget(NewProjectRadio);

    auto* newBox = new QVBoxLayout;
    newBox->setContentsMargins(24, 0, 0, 0);
    NewProjectEdit = new QLineEdit(ProjectsTab);
    NewProjectEdit->setObjectName(QStringLiteral("NewProjectEdit"));
    Bind(NewProjectEdit, &QLineEdit::textChanged, &TMainForm::NewProjectEditChange);
    NewProjectEdit->installEventFilter(new NameEditWatcher(this, NewProjectEdit));
    newBox->addWidget(NewProjectEdit);
    auto* folderRow = new QHBoxLayout;
    ProjectFolderTitleLabel = new QLabel(QStringLiteral("Folder:"), ProjectsTab);
    ProjectFolderTitleLabel->setObjectName(QStringLiteral("ProjectFolderTitleLabel"));
    ProjectFolderLabel = new QLabel(ProjectsTab);
    ProjectFolderLabel->setObjectName(QStringLiteral("ProjectFolderLabel"));
    QFont bold = ProjectFolderLabel->font();
    bold.setBold(true);
    ProjectFolderLabel->setFont(bold);
    ProjectFolderLabel->setMinimumWidth(100);
    ProjectFolderLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ChangeProjectFolderBtn = new QPushButton(ProjectsTab);
    ChangeProjectFolderBtn->setObjectName(QStringLiteral("ChangeProjectFolderBtn"));
    LinkAction(ChangeProjectFolderBtn, ChangeFolderProject);
    folderRow->addWidget(ProjectFolderTitleLabel);
    folderRow->addWidget(ProjectFolderLabel, 1);
    folderRow->addWidget(ChangeProjectFolderBtn);
    newBox->addLayout(folderRow);
    layout->addLayout(newBox);

    OpenProjectRadio = new QRadioButton(ProjectsTab);
    OpenProjectRadio->setObjectName(QStringLiteral("OpenProjectRadio"));
    LinkAction(OpenProjectRadio, OpenProject);
    layout->addWidget(OpenProjectRadio);

    auto* listRow = new QHBoxLayout;
    listRow->setContentsMargins(24, 0, 0, 0);
    ProjectsListBox = new QTreeWidget(ProjectsTab);
    ProjectsListBox->setObjectName(QStringLiteral("ProjectsListBox"));
    ProjectsListBox->setColumnCount(2);
    ProjectsListBox->setHeaderLabels({QStringLiteral("Project Name"), QStringLiteral("Path")});
    ProjectsListBox->setColumnWidth(0, 240);
    ProjectsListBox->setColumnWidth(1, 100);
    ProjectsListBox->setRootIsDecorated(false);
    ProjectsListBox->setItemsExpandable(false);
    ProjectsListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    ProjectsListBox->setSelectionBehavior(QAbstractItemView::SelectRows);
    ProjectsListBox->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ProjectsListBox->setIconSize(QSize(x16ImageList.Width(), x16ImageList.Height()));
    ProjectsListBox->setSortingEnabled(true);
    ProjectsListBox->sortByColumn(0, Qt::AscendingOrder);
    ProjectsListBox->header()->setSectionsClickable(false);
    ProjectsListBox->header()->setSortIndicatorShown(false);
    // The selection stays as visible without the focus as with it.
    QPalette palette = ProjectsListBox->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    ProjectsListBox->setPalette(palette);
    Bind(ProjectsListBox, &QTreeWidget::itemSelectionChanged, &TMainForm::ProjectsListBoxSelectItem);
    listRow->addWidget(ProjectsListBox, 1);
    auto* listButtons = new QVBoxLayout;
    AddProjectBtn = new QPushButton(ProjectsTab);
    AddProjectBtn->setObjectName(QStringLiteral("AddProjectBtn"));
    LinkAction(AddProjectBtn, AddProject);
    DelProjectBtn = new QPushButton(ProjectsTab);
    DelProjectBtn->setObjectName(QStringLiteral("DelProjectBtn"));
    LinkAction(DelProjectBtn, DelProject);
    listButtons->addWidget(AddProjectBtn);
    listButtons->addWidget(DelProjectBtn);
    listButtons->addStretch(1);
    listRow->addLayout(listButtons);
    layout->addLayout(listRow, 1);

    // The state of the new-project choice, without the navigation: the
    // other pages do not exist yet.
    showChoice(*this, true);
    AddProject->setEnabled(false);
    DelProject->setEnabled(false);
}

// --- The project list ---------------------------------------------------------------------

void TMainForm::RefreshProjectList()
{
    ProjectsListBox->clear();
    TRegistry reg;
    const QStringList keys = projectKeys(reg);
    QStringList untold;
    for (const QString& key : keys) {
        ProjectEntry entry;
        try {
            entry = readEntry(key);
        } catch (const ERegistryException& e) {
            // An entry that cannot be read is neither listed nor taken for
            // dead, and it stands in no one's way: it is told once and left
            // for the user to mend.
            if (!FSkippedProjectKeys.contains(key)) {
                FSkippedProjectKeys << key;
                untold << QStringLiteral("%1 (%2)").arg(key, e.Message());
            }
            continue;
        }
        if (FileExists(entry.fileName)) {
            auto* item = new ProjectItem;
            item->setText(0, entry.hasName ? entry.name : QStringLiteral("Error"));
            item->setText(1, entry.hasFileName ? entry.fileName : QStringLiteral("Unable to show project file."));
            item->setIcon(0, x16ImageList.Icon(0));
            ProjectsListBox->addTopLevelItem(item);
        } else {
            reg.DeleteKey(key);
        }
    }
    // Emptying the list drops its selection without telling.
    UpdateDeleteAction();
    if (!untold.isEmpty())
        MessageDlg(QStringLiteral("The projects list skips the entry %1 under HKEY_CURRENT_USER%2 in the registry "
                                  "folder %3: it cannot be read, so it is left as it is.")
                       .arg(untold.join(QStringLiteral(", ")), kProjectsKey,
                            QString::fromStdString(th::registry::RegistryFolder())),
                   TMsgDlgType::mtWarning, {TMsgDlgBtn::mbOK}, TMsgDlgBtn::mbOK);
}

QString TMainForm::FindProjectKey(const QString& FileName)
{
    TRegistry reg;
    for (const QString& key : projectKeys(reg)) {
        ProjectEntry entry;
        try {
            entry = readEntry(key);
        } catch (const ERegistryException&) {
            continue; // cannot name any file
        }
        if (entry.hasFileName && entry.fileName == FileName)
            return key;
    }
    return {};
}

QString TMainForm::NewProjectKey()
{
    TRegistry reg;
    reg.OpenKey(kProjectsKey, true);
    for (int number = 1;; ++number) {
        const QString key = QStringLiteral("Project%1").arg(number);
        if (!reg.KeyExists(key))
            return key;
    }
}

void TMainForm::RegisterProjectFile(const QString& FileName)
{
    QString name;
    {
        // Loaded only for its name: what the missing-file check changes is dropped.
        const std::unique_ptr<TTHProject> loaded = TTHProject::CreateFromFile(FileName);
        name = loaded->Name;
    }
    QString key = FindProjectKey(FileName);
    if (key.isEmpty())
        key = NewProjectKey();
    TRegistry reg;
    const QString path = kProjectsKey + QLatin1Char('\\') + key;
    if (!reg.OpenKey(path, true))
        throw ERegistryException(QStringLiteral("Failed to create key %1").arg(path));
    reg.WriteString(kNameValue, name);
    reg.WriteString(kFileNameValue, FileName);
    reg.CloseKey();
    RefreshProjectList();
}

// --- The open project ---------------------------------------------------------------------

bool TMainForm::CloseProject()
{
    if (!FProject) {
        UpdateCaption();
        return true;
    }
    if (!FProject->IsNew)
        FProject->Save();
    if (FProject->Modified) {
        const int answer = MessageDlg(QStringLiteral("Do you wish to save project %1?").arg(FProject->Name),
                                      TMsgDlgType::mtConfirmation,
                                      {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}, TMsgDlgBtn::mbYes);
        if (answer == mrYes) {
            FProject->Save();
            RegisterProjectFile(FProject->FileName);
        } else if (answer != mrNo) {
            return false; // Cancel, Escape or the dialog closed: nothing is lost
        }
    }
    FProject.reset();
    FCaptureFileName.clear();
    FCapturedFiles.clear();
    UpdateCaption();
    return true;
}

bool TMainForm::CreateNewProject(const QString& Folder, const QString& Name)
{
    if (!CloseProject())
        return false;
    return CreateProject(Folder, Name);
}

bool TMainForm::OpenProjectFile(const QString& FileName)
{
    if (!CloseProject())
        return false;
    return LoadProject(FileName);
}

bool TMainForm::CreateProject(const QString& Folder, const QString& Name)
{
    bool made = false;
    if (!FProject) {
        FProject = TTHProject::CreateNew(Folder, Name);
        made = true;
        FProject->IsValid();
    }
    if (CaptureScenesListView)
        CaptureScenesListView->Clear();
    UpdateCaption();
    return made;
}

bool TMainForm::LoadProject(const QString& FileName)
{
    bool made = false;
    if (!FProject) {
        if (!FileExists(FileName))
            throw Exception(QStringLiteral("Project %1 not found.").arg(FileName));
        FProject = TTHProject::CreateFromFile(FileName);
        made = true;
        RepairUnfinishedCaptures();
    }
    if (CaptureScenesListView)
        CaptureScenesListView->Clear();
    UpdateCaption();
    return made;
}

void TMainForm::RepairUnfinishedCaptures()
{
    if (!FProject)
        return;
    QStringList candidates = FProject->Files;
    const QDir folder(FProject->CaptureFolder);
    for (const QString& name : folder.entryList({QStringLiteral("*.avi"), QStringLiteral("*.AVI")}, QDir::Files))
        if (!candidates.contains(folder.filePath(name)))
            candidates << folder.filePath(name);
    QStringList told;
    bool changed = false;
    for (const QString& file : candidates) {
        const std::string path = QFile::encodeName(file).toStdString();
        if (!FileExists(file) || !th::riff::AviIsUnfinished(path))
            continue;
        const th::riff::AviRepair repaired = th::riff::RepairAvi(path);
        if (!repaired.ok) {
            told << QStringLiteral("\"%1\" could not be made whole: %2.").arg(file, QString::fromStdString(repaired.error));
            continue;
        }
        told << QStringLiteral("\"%1\" holds %2 frames.").arg(file).arg(repaired.frames);
        if (!FProject->Files.contains(file)) {
            FProject->Files.append(file);
            changed = true;
        }
        // The scene file was saved as the scenes came: its last scene ends where the file does.
        const QString sceneFile = ChangeFileExt(file, QStringLiteral(".thf"));
        QFile scenes(sceneFile);
        QDomDocument doc;
        if (scenes.open(QIODevice::ReadOnly) && doc.setContent(&scenes)) {
            scenes.close();
            QDomElement last = doc.documentElement().firstChildElement(QStringLiteral("scenes"))
                                   .lastChildElement(QStringLiteral("scene"));
            if (!last.isNull() && last.firstChildElement(QStringLiteral("end")).isNull()) {
                QDomElement end = doc.createElement(QStringLiteral("end"));
                end.appendChild(doc.createTextNode(QString::number(repaired.frames)));
                last.appendChild(end);
                try {
                    SaveFileSafely(sceneFile, doc.toByteArray(-1));
                } catch (const std::exception&) {
                }
            }
        }
    }
    // The temporary file a capture with one file per scene starts in holds no frame.
    for (const QString& name : folder.entryList({QStringLiteral("*.tmp")}, QDir::Files)) {
        QFile tmp(folder.filePath(name));
        if (tmp.open(QIODevice::ReadOnly) && tmp.read(12).mid(8) == "AVI ") {
            tmp.close();
            tmp.remove();
        }
    }
    if (changed) {
        try {
            FProject->Save();
        } catch (const std::exception&) {
        }
    }
    if (!told.isEmpty())
        MessageDlg(QStringLiteral("A capture of this project was not finished: TapeHarvest or the computer stopped "
                                  "while it ran. TapeHarvest made what was captured whole. %1")
                       .arg(told.join(QLatin1Char(' '))),
                   TMsgDlgType::mtInformation, {TMsgDlgBtn::mbOK}, TMsgDlgBtn::mbOK);
}

// --- The page -----------------------------------------------------------------------------

void TMainForm::EnterProjectsPage()
{
    SuggestProjectName();
    SelectOpenProject();
}

void TMainForm::LeaveProjectsPage()
{
    CaptureBalloonHint->HideHint();
    if (NewProject->isChecked()) {
        const QString name = NewProjectEdit->text();
        if (!FProject) {
            CreateNewProject(FProjectsFolder, name);
        } else {
            // The new project of an earlier visit takes the folder and name in place.
            FProject->SetProjectsPath(FProjectsFolder);
            FProject->SetName(name);
            UpdateCaption();
        }
        return;
    }
    const QList<QTreeWidgetItem*> selected = ProjectsListBox->selectedItems();
    if (selected.isEmpty())
        return;
    const QString file = selected.first()->text(1);
    if (!FProject || FProject->FileName != file)
        OpenProjectFile(file);
}

void TMainForm::ProjectsTabShow()
{
    TitleLabel->setText(QStringLiteral("Welcome to the Tolmar TapeHarvest"));
    DescriptionLabel->setText(QStringLiteral(
        "Tolmar® TapeHarvest™ is a easy to use powerfull tool for capturing and processing DV video. Type the "
        "new project name or select a project from the list and press the Next button."));
}

void TMainForm::NewProjectExecute()
{
    const bool chosenNew = NewProject->isChecked();
    // The choice goes back when the project cannot be let go, so that the
    // page never shows a choice that does not hold the open project.
    const auto switchBack = [&] { (chosenNew ? OpenProject : NewProject)->setChecked(true); };
    bool closed = false;
    try {
        closed = CloseProject();
    } catch (...) {
        switchBack();
        throw;
    }
    if (!closed)
        switchBack();

    const bool newChoice = NewProject->isChecked();
    showChoice(*this, newChoice);
    if (newChoice)
        SuggestProjectName();
    else
        SelectOpenProject();
    settleChoice(*this);
}

void TMainForm::SuggestProjectName()
{
    if (NewProject->isChecked() && Trim(NewProjectEdit->text()).isEmpty() && !FProjectsFolder.isEmpty())
        NewProjectEdit->setText(UniqueProjectName(FProjectsFolder));
}

void TMainForm::SelectOpenProject()
{
    if (FProject && !FProject->IsNew && !OpenProject->isChecked()) {
        // Checked through the group: the open project stays open.
        OpenProject->setChecked(true);
        showChoice(*this, false);
        settleChoice(*this);
    }
    SelectProjectInList();
}

void TMainForm::SelectProjectInList()
{
    if (!FProject)
        return;
    for (int i = 0; i < ProjectsListBox->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ProjectsListBox->topLevelItem(i);
        if (item->text(1) == FProject->FileName) {
            ProjectsListBox->setCurrentItem(item);
            ProjectsListBox->scrollToItem(item);
        }
    }
}

void TMainForm::UpdateDeleteAction()
{
    DelProject->setEnabled(ProjectsListBox->isEnabledTo(ProjectsTab) && !ProjectsListBox->selectedItems().isEmpty());
    UpdateNavigation();
}

void TMainForm::DelProjectExecute()
{
    if (!CloseProject())
        return;
    const QList<QTreeWidgetItem*> selected = ProjectsListBox->selectedItems();
    if (selected.isEmpty())
        return;
    if (!DeleteProjectForm)
        DeleteProjectForm = new TDeleteProjectForm(this);
    DeleteProjectForm->ProjectName = selected.first()->text(0);
    DeleteProjectForm->FileName = selected.first()->text(1);
    ExecModal(*DeleteProjectForm);
}

void TMainForm::AddProjectExecute()
{
    // Made on first use: a file dialog starts a thread that watches the file
    // system, which a window that never browses does not need.
    if (!AddProjectDialog) {
        AddProjectDialog = NewFileDialog(this, "AddProjectDialog", QString(), FProjectsFolder);
        AddProjectDialog->setFileMode(QFileDialog::ExistingFile);
        AddProjectDialog->setAcceptMode(QFileDialog::AcceptOpen);
        AddProjectDialog->setNameFilters(
            {QStringLiteral("Tolmar TapeHarvest project (*.thp)"), QStringLiteral("All files (*)")});
    }
    if (AddProjectDialog->property(kInitialDirProperty).toString().isEmpty() && !FProjectsFolder.isEmpty()) {
        AddProjectDialog->setProperty(kInitialDirProperty, FProjectsFolder);
        AddProjectDialog->setDirectory(FProjectsFolder);
    }
    if (ExecModal(*AddProjectDialog) != QDialog::Accepted)
        return;
    const QStringList files = AddProjectDialog->selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return;
    RegisterProjectFile(files.first());
    RefreshProjectList();
}

void TMainForm::ChangeFolderProjectExecute()
{
    const std::unique_ptr<QFileDialog> dialog(NewFileDialog(this, "SelectFolder", QString(), FProjectsFolder));
    QFileDialog& select = *dialog;
    select.setFileMode(QFileDialog::Directory);
    select.setOption(QFileDialog::ShowDirsOnly);
    if (ExecModal(select) != QDialog::Accepted)
        return;
    const QStringList chosen = select.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;
    SetProjectsFolder(chosen.first());
}

void TMainForm::NewProjectEditChange()
{
    UpdateNavigation();
}

void TMainForm::NewProjectEditEnter()
{
    FEditEntered = true;
    CaptureBalloonHint->HideHint();
}

void TMainForm::NewProjectEditMouseUp()
{
    if (!NewProjectEdit->hasSelectedText() && FEditEntered)
        NewProjectEdit->selectAll();
    FEditEntered = false;
}

void TMainForm::ProjectsListBoxSelectItem()
{
    UpdateDeleteAction();
}
