// The help file built beside the program and the help window that shows it.
#include "ShellFixture.h"

#include "app/HelpRouter.h"

#include <QDialog>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

using namespace shell_test;

namespace {

QString helpFile()
{
    return QString::fromStdString(th::test::binDir()) + QStringLiteral("/tharvest.rcc");
}

QString shownText(THelpRouter& router)
{
    return router.Browser() ? router.Browser()->toPlainText() : QString();
}

} // namespace

TEST(HelpTest, EveryPageTopicIsInTheHelpFile)
{
    ASSERT_TRUE(QFile::exists(helpFile()));
    QWidget owner;
    THelpRouter router(&owner);
    // The program's path names the file with another extension.
    router.SetHelpFile(QString::fromStdString(th::test::binDir()) + QStringLiteral("/tharvest"));
    const std::pair<const char*, const char*> topics[] = {
        {"htm/openproject.htm", "Select Project"}, {"htm/selecttask.htm", "Select Jobs"},
        {"htm/capturesetup.htm", "Capture Setup"}, {"htm/runntasks.htm", "Begin Work"},
        {"htm/capturerun.htm", "Capture"},         {"htm/finishtask.htm", "Finish"}};
    for (const auto& [topic, title] : topics) {
        router.ShowTopic(QString::fromLatin1(topic));
        ASSERT_NE(router.HelpWindow(), nullptr);
        EXPECT_TRUE(router.HelpWindow()->isVisible());
        const QString text = shownText(router);
        EXPECT_TRUE(text.startsWith(QString::fromLatin1(title))) << topic << ": " << text.left(80).toStdString();
        EXPECT_GT(text.size(), 400) << topic;
        EXPECT_EQ(router.HelpWindow()->windowTitle(), QStringLiteral("Tolmar TapeHarvest Help - ") + title);
    }
    // One window for every topic.
    EXPECT_EQ(owner.findChildren<QDialog*>(QStringLiteral("HelpWindow")).size(), 1);

    // Back returns to the topic before, its title with it; Escape closes.
    auto* back = router.HelpWindow()->findChild<QPushButton*>(QStringLiteral("HelpBackBtn"));
    ASSERT_NE(back, nullptr);
    ASSERT_TRUE(back->isEnabled());
    back->click();
    EXPECT_TRUE(shownText(router).startsWith(QStringLiteral("Capture")));
    EXPECT_EQ(router.HelpWindow()->windowTitle(), QStringLiteral("Tolmar TapeHarvest Help - Capture"));
    QTest::keyClick(router.Browser(), Qt::Key_Escape);
    EXPECT_FALSE(router.HelpWindow()->isVisible());
}

TEST(HelpTest, MissingTopicOrFileIsReportedInTheWindow)
{
    QWidget owner;
    THelpRouter router(&owner);
    router.SetHelpFile(helpFile());
    router.ShowTopic(QStringLiteral("htm/nosuchpage.htm"));
    EXPECT_TRUE(shownText(router).contains(QStringLiteral("has no topic htm/nosuchpage.htm"))) << shownText(router).toStdString();

    th::test::TempDir dir;
    const QString missing = dir.qpath() + QStringLiteral("/gone.rcc");
    router.SetHelpFile(missing);
    router.ShowTopic(QStringLiteral("htm/openproject.htm"));
    EXPECT_TRUE(shownText(router).contains(missing + QStringLiteral(" cannot be opened")));

    // A file that is no resource file.
    const QString garbage = dir.qpath() + QStringLiteral("/garbage.rcc");
    {
        QFile f(garbage);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a resource file at all");
    }
    router.SetHelpFile(garbage);
    router.ShowTopic(QStringLiteral("htm/openproject.htm"));
    EXPECT_TRUE(shownText(router).contains(QStringLiteral("cannot be opened")));

    // And the right file works again afterwards.
    router.SetHelpFile(helpFile());
    router.ShowTopic(QStringLiteral("htm/finishtask.htm"));
    EXPECT_TRUE(shownText(router).startsWith(QStringLiteral("Finish")));
}

TEST(HelpTest, TopicNamesAndFileNames)
{
    EXPECT_EQ(THelpRouter::TopicName(QStringLiteral("htm/a.htm")), QStringLiteral("htm/a.htm"));
    EXPECT_EQ(THelpRouter::TopicName(QStringLiteral("htm/a")), QStringLiteral("htm/a.htm"));
    EXPECT_EQ(THelpRouter::TopicName(QStringLiteral("htm/a.html")), QStringLiteral("htm/a.html.htm"));
    EXPECT_EQ(THelpRouter::TopicFile(QStringLiteral("/p/tharvest.chm")), QStringLiteral("/p/tharvest.rcc"));
    EXPECT_EQ(THelpRouter::TopicFile(QStringLiteral("/p.d/tharvest")), QStringLiteral("/p.d/tharvest.rcc"));
}
