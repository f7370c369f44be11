#pragma once
// A main window with a projects folder of its own, projects made on disk,
// the registry's project list read and written directly, and dialogs
// answered through the modal hook.
#include "app/DelProject.h"
#include "platform/rtl/TRegistry.h"
#include "support/WizardFixture.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

namespace projects_test {

using wizard_test::DialogRecorder;

inline const QString kListKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest\\Projects");

inline void writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(data);
}

// Writes a list entry; a null value is left out.
inline void writeEntry(const QString& key, const QString& name, const QString& fileName)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kListKey + QLatin1Char('\\') + key, true));
    if (!name.isNull())
        reg.WriteString(QStringLiteral("Name"), name);
    if (!fileName.isNull())
        reg.WriteString(QStringLiteral("FileName"), fileName);
}

inline QStringList entryKeys()
{
    TRegistry reg;
    QStringList keys;
    if (reg.OpenKey(kListKey, false))
        reg.GetKeyNames(keys);
    return keys;
}

inline QString entryValue(const QString& key, const QString& value)
{
    TRegistry reg;
    if (!reg.OpenKeyReadOnly(kListKey + QLatin1Char('\\') + key))
        return QStringLiteral("<no key>");
    return reg.ReadString(value);
}

class ProjectsTest : public wizard_test::WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        makeForm().FProjectsFolder = projects;
    }

    // A saved project in the projects folder, with captured files of the
    // given contents in its capture folder.
    QString makeProject(const QString& name, const QList<QByteArray>& captured = {})
    {
        std::unique_ptr<TTHProject> p = TTHProject::CreateNew(projects, name);
        QDir().mkpath(p->CaptureFolder);
        for (int i = 0; i < captured.size(); ++i) {
            const QString file = p->CaptureFolder + QStringLiteral("/%1 %2.avi").arg(name).arg(i + 1);
            writeFile(file, captured[i]);
            p->Files << file;
        }
        p->Save();
        return p->FileName;
    }

    QStringList listedNames() const
    {
        QStringList names;
        for (int i = 0; i < form->ProjectsListBox->topLevelItemCount(); ++i)
            names << form->ProjectsListBox->topLevelItem(i)->text(0);
        return names;
    }

    QTreeWidgetItem* listed(const QString& fileName) const
    {
        for (int i = 0; i < form->ProjectsListBox->topLevelItemCount(); ++i)
            if (form->ProjectsListBox->topLevelItem(i)->text(1) == fileName)
                return form->ProjectsListBox->topLevelItem(i);
        return nullptr;
    }

    QString selectedFile() const
    {
        const auto items = form->ProjectsListBox->selectedItems();
        return items.isEmpty() ? QString() : items.first()->text(1);
    }

};

} // namespace projects_test
