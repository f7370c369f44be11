#pragma once
// THelpRouter: the program's help. The help file is a Qt binary resource file
// beside the program (the program's path with the extension ".rcc") holding
// one HTML topic per wizard page ("htm/openproject.htm", ...). A topic is shown
// in a small help window titled after the topic, with Back, closed by Escape;
// a help file or topic that cannot be found is reported in that window. Main
// thread only.

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QTextBrowser;
class QWidget;

class THelpRouter : public QObject {
public:
    // Owner is the window the help window stays above. The help file starts
    // as the program's path with the extension ".rcc".
    explicit THelpRouter(QWidget* Owner);
    ~THelpRouter() override;

    QString HelpFile() const { return FHelpFile; }
    void SetHelpFile(const QString& FileName) { FHelpFile = FileName; }

    // Shows Topic of the help file (its extension set to ".rcc"); a topic
    // without the extension ".htm" gets it.
    void ShowTopic(const QString& Topic);

    // The help window, null until a topic was shown.
    QDialog* HelpWindow() const { return FWindow; }
    QTextBrowser* Browser() const { return FBrowser; }

    // The help file as a topic request names it, and the topic.
    static QString TopicFile(const QString& HelpFile);
    static QString TopicName(const QString& Topic);

    // Test seam, process-wide: while set, ShowTopic hands the file and topic to
    // the hook instead of showing them. An empty function removes it.
    using TDisplayHook = std::function<void(const QString& File, const QString& Topic)>;
    static void SetDisplayHook(TDisplayHook Hook);

private:
    void Display(const QString& File, const QString& Topic);
    void UpdateTitle();
    bool MountFile(const QString& File);

    QPointer<QWidget> FOwner;
    QString FHelpFile;
    QString FMounted;
    QPointer<QDialog> FWindow;
    QTextBrowser* FBrowser = nullptr;
};
