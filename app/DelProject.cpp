#include "app/DelProject.h"

#include "app/Controls.h"
#include "app/Main.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"
#include "project/Project.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kProjectsKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest\\Projects");


// Adds the sizes of the files under Folder to Total. False when any part of
// it cannot be listed, and for a link: a link's data is not the folder's to
// judge, so a folder holding one is never taken for empty.
bool addFolderSize(const QString& folder, qint64& total)
{
    const QFileInfo self(folder);
    if (!self.isDir() || self.isSymLink() || !self.isReadable() || !self.isExecutable())
        return false;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink())
            return false;
        if (entry.isDir()) {
            if (!addFolderSize(entry.filePath(), total))
                return false;
        } else {
            total += entry.size();
        }
    }
    return true;
}

// Removes every entry of the project list that names FileName.
void removeListEntries(const QString& FileName)
{
    TRegistry reg;
    if (!reg.OpenKey(kProjectsKey, false))
        return;
    QStringList keys;
    reg.GetKeyNames(keys);
    for (const QString& key : keys) {
        bool matches = false;
        {
            TRegistry entry;
            if (!entry.OpenKeyReadOnly(kProjectsKey + QLatin1Char('\\') + key))
                continue;
            try {
                matches = entry.ValueExists(QStringLiteral("FileName")) &&
                          entry.ReadString(QStringLiteral("FileName")) == FileName;
            } catch (const ERegistryException&) {
                matches = false; // names no file, so not this one
            }
        }
        if (matches)
            reg.DeleteKey(key);
    }
}

} // namespace

TDeleteProjectForm::TDeleteProjectForm(TMainForm* MainForm) : QDialog(MainForm), FMainForm(MainForm)
{
    setObjectName(QStringLiteral("DeleteProjectForm"));
    setWindowTitle(QStringLiteral("Delete Project"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    CaptionLabel = new QLabel(QStringLiteral("You wish to:"), this);
    CaptionLabel->setObjectName(QStringLiteral("CaptionLabel"));
    QFont bold = CaptionLabel->font();
    bold.setBold(true);
    CaptionLabel->setFont(bold);
    layout->addWidget(CaptionLabel);

    const auto addBox = [&](const char* name, const QString& caption) {
        auto* box = new QCheckBox(caption, this);
        box->setObjectName(QString::fromLatin1(name));
        connect(box, &QCheckBox::clicked, this, [this] { RemoveProjectCheckBoxClick(); });
        layout->addWidget(box);
        return box;
    };
    RemoveProjectCheckBox = addBox("RemoveProjectCheckBox", QStringLiteral("&Remove the project from the projects list."));
    DeleteProjectCheckBox = addBox("DeleteProjectCheckBox", QStringLiteral("Delete the &project file."));
    DeleteCapturedCheckBox = addBox("DeleteCapturedCheckBox", QStringLiteral("Delete &all captured files."));

    DelFilesProgress = new QProgressBar(this);
    DelFilesProgress->setObjectName(QStringLiteral("DelFilesProgress"));
    // With its figure it reads as a progress bar even at 0, not as an empty box.
    DelFilesProgress->setTextVisible(true);
    DelFilesProgress->setFormat(QStringLiteral("%p%"));
    DelFilesProgress->setAlignment(Qt::AlignCenter);
    DelFilesProgress->setMinimumWidth(360);
    layout->addWidget(DelFilesProgress);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    OkBtn = new QPushButton(QStringLiteral("&OK"), this);
    OkBtn->setObjectName(QStringLiteral("OkBtn"));
    CancelBtn = new QPushButton(QStringLiteral("Can&cel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    HelpBtn = new QPushButton(QStringLiteral("Help"), this);
    HelpBtn->setObjectName(QStringLiteral("HelpBtn"));
    // Enter on a check box cancels; only a click on OK, or Enter or Space
    // while OK has the focus, deletes.
    CancelBtn->setDefault(true);
    buttons->addWidget(OkBtn);
    buttons->addWidget(CancelBtn);
    buttons->addWidget(HelpBtn);
    layout->addLayout(buttons);

    // An exception ends the handler in the application's handler and the
    // dialog stays open.
    connect(OkBtn, &QPushButton::clicked, this, [this] { FMainForm->Guarded([this] { OkBtnClick(); }); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
    connect(HelpBtn, &QPushButton::clicked, this, [this] { FMainForm->Guarded([this] { HelpBtnClick(); }); });
}

TDeleteProjectForm::~TDeleteProjectForm() = default;

void TDeleteProjectForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TDeleteProjectForm::FormShow()
{
    DelFilesProgress->setMinimum(0);
    DelFilesProgress->setValue(0);
    RemoveProjectCheckBox->setChecked(true);
    DeleteProjectCheckBox->setChecked(false);
    DeleteCapturedCheckBox->setChecked(false);
    UpdateControls();
}

void TDeleteProjectForm::UpdateControls()
{
    if (DeleteProjectCheckBox->isChecked())
        RemoveProjectCheckBox->setChecked(true);
    RemoveProjectCheckBox->setEnabled(!DeleteProjectCheckBox->isChecked());
    OkBtn->setEnabled(!FBusy && (RemoveProjectCheckBox->isChecked() || DeleteProjectCheckBox->isChecked() ||
                                 DeleteCapturedCheckBox->isChecked()));
    setWindowTitle(QStringLiteral("Delete Project: ") + ProjectName);
}

void TDeleteProjectForm::RemoveProjectCheckBoxClick()
{
    UpdateControls();
}

void TDeleteProjectForm::OkBtnClick()
{
    // Messages are processed while files go: a second OK then must not start
    // over, nor a close end the dialog before the list is settled.
    if (FBusy)
        return;
    struct BusyScope {
        TDeleteProjectForm& form;
        explicit BusyScope(TDeleteProjectForm& f) : form(f)
        {
            form.FBusy = true;
            form.OkBtn->setEnabled(false);
        }
        ~BusyScope()
        {
            form.FBusy = false;
            form.UpdateControls();
        }
    };
    {
        BusyScope busy(*this);
        // What was ticked when OK was pressed is what is done.
        const bool removeEntry = RemoveProjectCheckBox->isChecked();
        const bool deleteProject = DeleteProjectCheckBox->isChecked();
        const bool deleteCaptured = DeleteCapturedCheckBox->isChecked();

        if (deleteCaptured) {
            std::unique_ptr<TTHProject> project = TTHProject::CreateFromFile(FileName);
            DelFilesProgress->setValue(0);
            DelFilesProgress->setMinimum(0);
            DelFilesProgress->setMaximum(int(project->Files.size()));
            for (qsizetype i = project->Files.size() - 1; i >= 0; --i) {
                const QString file = project->Files[i];
                const QString thumbs = ExtractFilePath(file) + QStringLiteral("Thumbs.db");
                if (FileExists(thumbs))
                    QFile::remove(thumbs);
                if (FileExists(file)) {
                    QFile::remove(file);
                    QFile::remove(ChangeFileExt(file, QStringLiteral(".thf")));
                }
                project->Files.removeAt(i);
                DelFilesProgress->setValue(DelFilesProgress->value() + 1);
                ProcessMessages();
            }
            project->Save();
        }

        if (deleteProject) {
            if (FileExists(FileName))
                QFile::remove(FileName);
            const QString folder = ExtractFileDir(FileName);
            const QString folderName = ExtractFileName(folder);
            const QString baseName = QFileInfo(FileName).completeBaseName();
            qint64 size = 0;
            if (!folderName.isEmpty() && folderName == baseName && addFolderSize(folder, size) &&
                size == 0)
                QDir(folder).removeRecursively();
        }

        if (deleteProject || removeEntry)
            removeListEntries(FileName);
    }
    FMainForm->RefreshProjectList();
    accept();
}

void TDeleteProjectForm::CancelBtnClick()
{
    reject();
}

void TDeleteProjectForm::HelpBtnClick()
{
    FMainForm->ShowHelpTopic(QStringLiteral("htm/openproject.htm"));
}

void TDeleteProjectForm::done(int r)
{
    if (FBusy)
        return;
    QDialog::done(r);
}
