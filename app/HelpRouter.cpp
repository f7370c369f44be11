#include "app/HelpRouter.h"

#include "platform/rtl/SysUtils.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QResource>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// Where the help file's topics appear among the program's resources.
const QString kMountRoot = QStringLiteral("/tharvest-help");

THelpRouter::TDisplayHook& displayHook()
{
    static THelpRouter::TDisplayHook hook;
    return hook;
}

} // namespace

THelpRouter::THelpRouter(QWidget* Owner) : QObject(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("MainHelpRouter"));
    FHelpFile = ChangeFileExt(QCoreApplication::applicationFilePath(), QStringLiteral(".rcc"));
}

THelpRouter::~THelpRouter()
{
    delete FWindow.data();
    if (!FMounted.isEmpty())
        QResource::unregisterResource(FMounted, kMountRoot);
}

QString THelpRouter::TopicFile(const QString& HelpFile)
{
    return ChangeFileExt(HelpFile, QStringLiteral(".rcc"));
}

QString THelpRouter::TopicName(const QString& Topic)
{
    if (ExtractFileExt(Topic).compare(QStringLiteral(".htm"), Qt::CaseInsensitive) == 0)
        return Topic;
    return Topic + QStringLiteral(".htm");
}

void THelpRouter::SetDisplayHook(TDisplayHook Hook)
{
    displayHook() = std::move(Hook);
}

void THelpRouter::ShowTopic(const QString& Topic)
{
    const QString file = TopicFile(FHelpFile);
    const QString topic = TopicName(Topic);
    if (displayHook()) {
        const TDisplayHook hook = displayHook();
        hook(file, topic);
        return;
    }
    Display(file, topic);
}

bool THelpRouter::MountFile(const QString& File)
{
    if (File == FMounted)
        return true;
    if (!FMounted.isEmpty()) {
        QResource::unregisterResource(FMounted, kMountRoot);
        FMounted.clear();
    }
    if (!FileExists(File) || !QResource::registerResource(File, kMountRoot))
        return false;
    FMounted = File;
    return true;
}

void THelpRouter::Display(const QString& File, const QString& Topic)
{
    if (!FWindow) {
        FWindow = new QDialog(FOwner);
        FWindow->setObjectName(QStringLiteral("HelpWindow"));
        FWindow->setWindowTitle(QStringLiteral("Tolmar TapeHarvest Help"));
        FWindow->resize(560, 480);
        auto* layout = new QVBoxLayout(FWindow);
        layout->setContentsMargins(0, 0, 0, 0);
        FBrowser = new QTextBrowser(FWindow);
        FBrowser->setObjectName(QStringLiteral("HelpBrowser"));
        FBrowser->setOpenExternalLinks(true);
        layout->addWidget(FBrowser);
    }
    const QString request = File + QStringLiteral("::/") + Topic;
    FWindow->setWindowTitle(QStringLiteral("Tolmar TapeHarvest Help - ") + request);
    const QString resource = kMountRoot + QLatin1Char('/') + Topic;
    if (!MountFile(File)) {
        FBrowser->setHtml(QStringLiteral("<h3>Help is not available</h3><p>The help file <b>%1</b> cannot be "
                                         "opened.</p>")
                              .arg(File.toHtmlEscaped()));
    } else if (!QFile::exists(QLatin1Char(':') + resource)) {
        FBrowser->setHtml(QStringLiteral("<h3>Topic not found</h3><p>The help file <b>%1</b> has no topic "
                                         "<b>%2</b>.</p>")
                              .arg(File.toHtmlEscaped(), Topic.toHtmlEscaped()));
    } else {
        FBrowser->setSource(QUrl(QStringLiteral("qrc:") + resource));
    }
    FWindow->show();
    FWindow->raise();
    FWindow->activateWindow();
}
