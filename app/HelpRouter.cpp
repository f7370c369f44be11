#include "app/HelpRouter.h"

#include "platform/rtl/SysUtils.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QPushButton>
#include <QResource>
#include <QShortcut>
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
        FWindow->resize(560, 480);
        auto* layout = new QVBoxLayout(FWindow);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        auto* bar = new QHBoxLayout;
        bar->setContentsMargins(4, 4, 4, 4);
        auto* back = new QPushButton(QStringLiteral("< &Back"), FWindow);
        back->setObjectName(QStringLiteral("HelpBackBtn"));
        back->setAutoDefault(false);
        back->setEnabled(false);
        bar->addWidget(back);
        bar->addStretch(1);
        layout->addLayout(bar);
        FBrowser = new QTextBrowser(FWindow);
        FBrowser->setObjectName(QStringLiteral("HelpBrowser"));
        FBrowser->setOpenExternalLinks(true);
        layout->addWidget(FBrowser);
        QObject::connect(back, &QPushButton::clicked, FBrowser, &QTextBrowser::backward);
        QObject::connect(FBrowser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
        // The title names the topic shown, also one reached by a link or Back.
        QObject::connect(FBrowser, &QTextBrowser::sourceChanged, FWindow, [this] { UpdateTitle(); });
        // Escape closes the window wherever the focus is in it.
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), FWindow);
        QObject::connect(escape, &QShortcut::activated, FWindow, &QDialog::close);
    }
    const QString resource = kMountRoot + QLatin1Char('/') + Topic;
    if (!MountFile(File)) {
        FBrowser->setHtml(QStringLiteral("<html><head><title>Help is not available</title></head><body>"
                                         "<h3>Help is not available</h3><p>The help file <b>%1</b> cannot be "
                                         "opened.</p></body></html>")
                              .arg(File.toHtmlEscaped()));
    } else if (!QFile::exists(QLatin1Char(':') + resource)) {
        FBrowser->setHtml(QStringLiteral("<html><head><title>Topic not found</title></head><body>"
                                         "<h3>Topic not found</h3><p>The help file <b>%1</b> has no topic "
                                         "<b>%2</b>.</p></body></html>")
                              .arg(File.toHtmlEscaped(), Topic.toHtmlEscaped()));
    } else {
        FBrowser->setSource(QUrl(QStringLiteral("qrc:") + resource));
    }
    UpdateTitle();
    FWindow->show();
    FWindow->raise();
    FWindow->activateWindow();
}

void THelpRouter::UpdateTitle()
{
    const QString title = FBrowser ? FBrowser->documentTitle() : QString();
    FWindow->setWindowTitle(title.isEmpty() ? QStringLiteral("Tolmar TapeHarvest Help")
                                            : QStringLiteral("Tolmar TapeHarvest Help - ") + title);
}
