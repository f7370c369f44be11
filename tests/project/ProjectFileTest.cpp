// The ".thp" file: the exact document written, round trips, hand-edited and
// damaged files, and saves that must not lose the old file.
#include "project/Project.h"
#include "project/XmlDocument.h"

#include "ProjectTestUtil.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>


using th::test::DialogScript;
using th::test::raisedMessage;
using th::test::readFile;
using th::test::TempDir;
using th::test::writeFile;
using th::xml::EVariantTypeCastError;
using th::xml::EXmlDocError;

namespace {

class ProjectFile : public ::testing::Test {
protected:
    TempDir dir;
    QString root() const { return dir.qpath(); }

    // A file with every field away from its default.
    std::unique_ptr<TTHProject> makeFull(const QStringList& files, const QString& name = QStringLiteral("Trip"))
    {
        auto p = TTHProject::CreateNew(root() + QStringLiteral("/Projects"), name);
        p->SetCaptureJob(false);
        p->SetTapeOption(toXtoX);
        p->SetRewindTape(false);
        p->SetFileType(0);
        p->SetShowPreview(false);
        p->SetSplitFiles(true);
        p->SetCaptureFolder(root() + QStringLiteral("/Captures"));
        p->SetStartTime(MakeTimecode(1, 2, 3, 4));
        p->SetEndTime(MakeTimecode(5, 6, 7, 8));
        p->SetShutdown(true);
        p->Files = files;
        return p;
    }

    // A project document with one part replaced.
    static QByteArray projectXml(const QString& captureFolder, const QByteArray& tapeOptions = {},
                                 const QByteArray& files = "<files/>")
    {
        const QByteArray options = tapeOptions.isEmpty()
            ? QByteArray("<tapeoptions><tapeoption>3</tapeoption><rewindtape>True</rewindtape>"
                         "<starttime><hour>0</hour><minute>0</minute><second>10</second><frame>0</frame></starttime>"
                         "<endtime><hour>0</hour><minute>1</minute><second>10</second><frame>12</frame></endtime>"
                         "</tapeoptions>")
            : tapeOptions;
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><project><name>Hand</name><capture>"
               "<docapture>True</docapture>" + options + "<filetype>1</filetype><showpreview>True</showpreview>"
               "<splitfiles>False</splitfiles><capturefolder>" + captureFolder.toUtf8() + "</capturefolder>"
               + files + "</capture><shutdown>False</shutdown></project>";
    }

    QString put(const QByteArray& xml, const QString& name = QStringLiteral("hand.thp"))
    {
        const QString path = root() + QStringLiteral("/") + name;
        writeFile(path, xml);
        return path;
    }

    QString captures() const { return root() + QStringLiteral("/Captures"); }
};

TEST_F(ProjectFile, WritesTheDocumentExactly)
{
    QDir().mkpath(root() + QStringLiteral("/Captures"));
    writeFile(root() + QStringLiteral("/Captures/a & b.avi"), "");
    auto p = makeFull({root() + QStringLiteral("/Captures/a & b.avi")});
    p->Save();

    const QByteArray expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<project><name>Trip</name><capture>"
        "<docapture>False</docapture><tapeoptions><tapeoption>3</tapeoption><rewindtape>False</rewindtape>"
        "<starttime><hour>1</hour><minute>2</minute><second>3</second><frame>4</frame></starttime>"
        "<endtime><hour>5</hour><minute>6</minute><second>7</second><frame>8</frame></endtime></tapeoptions>"
        "<filetype>0</filetype><showpreview>False</showpreview><splitfiles>True</splitfiles>"
        "<capturefolder>" + captures().toUtf8() + "</capturefolder>"
        "<files><file><name>" + captures().toUtf8() + "/a &amp; b.avi</name></file></files>"
        "</capture><shutdown>True</shutdown></project>";
    EXPECT_EQ(readFile(p->FileName).toStdString(), expected.toStdString());
}

TEST_F(ProjectFile, FirstSaveMakesTheProjectFolderAndLaterSavesKeepThePath)
{
    auto p = makeFull({});
    ASSERT_TRUE(p->Modified);
    p->Save();
    const QString path = root() + QStringLiteral("/Projects/Trip/Trip.thp");
    EXPECT_EQ(p->FileName, path);
    EXPECT_TRUE(QFileInfo(path).isFile());
    EXPECT_FALSE(p->Modified);
    EXPECT_FALSE(p->IsNew);
    // An empty file list is an empty element.
    EXPECT_TRUE(readFile(path).contains("<files/>"));

    p->SetName(QStringLiteral("Renamed"));
    p->Save();
    EXPECT_EQ(p->FileName, path);
    EXPECT_FALSE(QFileInfo::exists(root() + QStringLiteral("/Projects/Renamed")));
    // Nothing is left beside the file.
    EXPECT_EQ(QDir(root() + QStringLiteral("/Projects/Trip")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{QStringLiteral("Trip.thp")});
}

TEST_F(ProjectFile, RoundTripKeepsEveryStoredField)
{
    QDir().mkpath(captures());
    QStringList files;
    for (const char* name : {"scene 1.avi", "scene 2.avi", "scene <3>.avi"}) {
        files << captures() + QStringLiteral("/") + QString::fromUtf8(name);
        writeFile(files.last(), "");
    }
    for (const QStringList& list : {files, QStringList()}) {
        auto p = makeFull(list, QStringLiteral("Trip %1").arg(list.size()));
        p->Save();
        DialogScript none; // every file is there: no dialog may come
        auto q = TTHProject::CreateFromFile(p->FileName);
        EXPECT_TRUE(none.asked.isEmpty());
        EXPECT_EQ(q->Name, p->Name);
        EXPECT_EQ(q->CaptureJob, p->CaptureJob);
        EXPECT_EQ(q->TapeOption, p->TapeOption);
        EXPECT_EQ(q->RewindTape, p->RewindTape);
        EXPECT_EQ(q->FileType, p->FileType);
        EXPECT_EQ(q->ShowPreview, p->ShowPreview);
        EXPECT_EQ(q->SplitFiles, p->SplitFiles);
        EXPECT_EQ(q->CaptureFolder, p->CaptureFolder);
        EXPECT_EQ(TimecodeToFrames(q->StartTime, 25), TimecodeToFrames(p->StartTime, 25));
        EXPECT_EQ(q->StartTime.Frames, 4);
        EXPECT_EQ(TimecodeToFrames(q->EndTime, 25), TimecodeToFrames(p->EndTime, 25));
        EXPECT_EQ(q->EndTime.Frames, 8);
        EXPECT_EQ(q->Files, list);
        EXPECT_EQ(q->Shutdown, true);
        EXPECT_EQ(q->ShutdownChoice, true);
        EXPECT_EQ(q->FileName, p->FileName);
        EXPECT_TRUE(q->ProjectsPath.isEmpty());
        EXPECT_TRUE(q->Report.isEmpty());
        EXPECT_FALSE(q->Modified);
        EXPECT_FALSE(q->IsNew);

        // Saving the loaded project writes the same bytes.
        const QByteArray before = readFile(p->FileName);
        q->Save();
        EXPECT_EQ(readFile(p->FileName), before);
    }
}

TEST_F(ProjectFile, ElementOrderDoesNotMatterAndExtrasAreIgnored)
{
    const QByteArray xml =
        "<?xml version=\"1.0\"?><project><shutdown>true</shutdown><extra>1</extra><capture>"
        "<files><file><name>" + captures().toUtf8() + "/x.avi</name></file>"
        "<clip><junk/><name>" + captures().toUtf8() + "/y.avi</name></clip></files>"
        "<capturefolder>" + captures().toUtf8() + "</capturefolder><splitfiles>1</splitfiles>"
        "<showpreview>FALSE</showpreview><unknown><a/></unknown><filetype>0</filetype>"
        "<tapeoptions><endtime><frame>8</frame><second>7</second><minute>6</minute><hour>5</hour></endtime>"
        "<starttime><frame>4</frame><hour>1</hour><minute>2</minute><second>3</second></starttime>"
        "<rewindtape>0</rewindtape><tapeoption>2</tapeoption></tapeoptions><docapture>False</docapture>"
        "</capture><name>Reordered</name></project>";
    QDir().mkpath(captures());
    writeFile(captures() + QStringLiteral("/x.avi"), "");
    writeFile(captures() + QStringLiteral("/y.avi"), "");
    auto p = TTHProject::CreateFromFile(put(xml));
    EXPECT_EQ(p->Name, QStringLiteral("Reordered"));
    EXPECT_FALSE(p->CaptureJob);
    EXPECT_EQ(p->TapeOption, toBtoE);
    EXPECT_FALSE(p->RewindTape);
    EXPECT_EQ(p->FileType, 0);
    EXPECT_FALSE(p->ShowPreview);
    EXPECT_TRUE(p->SplitFiles);
    EXPECT_TRUE(p->Shutdown);
    EXPECT_EQ(p->StartTime.Hours, 1);
    EXPECT_EQ(p->StartTime.Seconds, 3);
    EXPECT_EQ(p->EndTime.Hours, 5);
    EXPECT_EQ(p->EndTime.Frames, 8);
    // A child of "files" of another name counts like "file".
    EXPECT_EQ(p->Files, QStringList({captures() + QStringLiteral("/x.avi"), captures() + QStringLiteral("/y.avi")}));
    EXPECT_FALSE(p->Modified);
}

TEST_F(ProjectFile, NumbersAreBytesWithoutRangeChecks)
{
    const QByteArray options =
        "<tapeoptions><tapeoption>7</tapeoption><rewindtape>True</rewindtape>"
        "<starttime><hour>300</hour><minute>0</minute><second>0</second><frame>0</frame></starttime>"
        "<endtime><hour>-1</hour><minute>0</minute><second>0</second><frame>0</frame></endtime></tapeoptions>";
    auto p = TTHProject::CreateFromFile(put(projectXml(captures(), options)));
    EXPECT_EQ(static_cast<int>(p->TapeOption), 7);
    EXPECT_EQ(p->StartTime.Hours, 44);
    EXPECT_EQ(p->EndTime.Hours, 255);
    // Kept unchanged through the next save.
    p->Save();
    EXPECT_TRUE(readFile(p->FileName).contains("<tapeoption>7</tapeoption>"));
}

TEST_F(ProjectFile, MissingOrEmptyElementsFailWithTheConversionError)
{
    const QByteArray noEnd =
        "<tapeoptions><tapeoption>3</tapeoption><rewindtape>True</rewindtape>"
        "<starttime><hour>0</hour><minute>0</minute><second>0</second><frame>0</frame></starttime></tapeoptions>";
    std::unique_ptr<TTHProject> p;
    EXPECT_EQ(raisedMessage<EVariantTypeCastError>([&] { p = TTHProject::CreateFromFile(put(projectXml(captures(), noEnd))); }),
              QStringLiteral("Could not convert variant of type (Null) into type (Integer)"));
    EXPECT_EQ(p, nullptr);

    EXPECT_EQ(raisedMessage<EVariantTypeCastError>([&] { TTHProject::CreateFromFile(put(projectXml(QString()))); }),
              QStringLiteral("Could not convert variant of type (Null) into type (String)"));

    // A project saved with an empty field cannot be read back.
    auto saved = TTHProject::CreateNew(root() + QStringLiteral("/Projects"), QStringLiteral("Blank"));
    saved->Name.clear();
    saved->Save();
    EXPECT_EQ(raisedMessage<EVariantTypeCastError>([&] { TTHProject::CreateFromFile(saved->FileName); }),
              QStringLiteral("Could not convert variant of type (Null) into type (String)"));

    QByteArray noShutdown = projectXml(captures());
    noShutdown.replace("<shutdown>False</shutdown>", "");
    EXPECT_EQ(raisedMessage<EVariantTypeCastError>([&] { TTHProject::CreateFromFile(put(noShutdown)); }),
              QStringLiteral("Could not convert variant of type (Null) into type (Boolean)"));
}

TEST_F(ProjectFile, ValuesOfTheWrongKindFail)
{
    QByteArray xml = projectXml(captures());
    xml.replace("<docapture>True</docapture>", "<docapture>yes</docapture>");
    EXPECT_EQ(raisedMessage<EVariantTypeCastError>([&] { TTHProject::CreateFromFile(put(xml)); }),
              QStringLiteral("Could not convert variant of type (OleStr) into type (Boolean)"));

    for (const char* bad : {"one", "1.5", "", "99999999999", "0x10"}) {
        xml = projectXml(captures());
        xml.replace("<filetype>1</filetype>", QByteArray("<filetype>") + bad + "</filetype>");
        const QString expected = *bad ? QStringLiteral("Could not convert variant of type (OleStr) into type (Integer)")
                                      : QStringLiteral("Could not convert variant of type (Null) into type (Integer)");
        EXPECT_EQ(raisedMessage<EVariantTypeCastError>([&] { TTHProject::CreateFromFile(put(xml)); }), expected) << bad;
    }

    xml = projectXml(captures());
    xml.replace("<name>Hand</name>", "<name>Ha<b>n</b>d</name>");
    EXPECT_EQ(raisedMessage<EXmlDocError>([&] { TTHProject::CreateFromFile(put(xml)); }),
              QStringLiteral("Element does not contain a single text node"));

    // A CDATA section is text.
    xml = projectXml(captures());
    xml.replace("<name>Hand</name>", "<name><![CDATA[a<b>]]></name>");
    EXPECT_EQ(TTHProject::CreateFromFile(put(xml))->Name, QStringLiteral("a<b>"));
}

TEST_F(ProjectFile, CaptureFolderIsMadeAgainOrFailsTheLoad)
{
    auto p = TTHProject::CreateFromFile(put(projectXml(root() + QStringLiteral("/gone/Video"))));
    EXPECT_TRUE(QFileInfo(root() + QStringLiteral("/gone/Video")).isDir());

    writeFile(root() + QStringLiteral("/plain"), "x");
    EXPECT_EQ(raisedMessage([&] { TTHProject::CreateFromFile(put(projectXml(root() + QStringLiteral("/plain/Video")))); }),
              QStringLiteral("Invalid project path."));
}

TEST_F(ProjectFile, DamagedFilesGiveAClearErrorNamingTheFile)
{
    const QByteArray good = projectXml(captures());
    const std::vector<std::pair<const char*, QByteArray>> cases = {
        {"truncated.thp", good.left(good.size() / 2)},
        {"empty.thp", QByteArray()},
        {"text.thp", "this is not XML at all"},
        {"binary.thp", QByteArray("\x00\xff\xfe<project>", 12)},
        {"otherroot.thp", "<?xml version=\"1.0\"?><scenes><name>x</name></scenes>"},
        {"tworoots.thp", good + good},
    };
    for (const auto& [name, data] : cases) {
        const QString path = put(data, QString::fromLatin1(name));
        const QString message = raisedMessage<EXmlDocError>([&] { TTHProject::CreateFromFile(path); });
        EXPECT_TRUE(message.contains(path)) << name << ": " << message.toStdString();
    }
    const QString missing = root() + QStringLiteral("/nowhere.thp");
    EXPECT_TRUE(raisedMessage<EXmlDocError>([&] { TTHProject::CreateFromFile(missing); }).contains(missing));
}

TEST_F(ProjectFile, AFileNoProjectCouldBeIsRefusedBeforeItIsParsed)
{
    // A 3 GB capture picked as a project (sparse: no disk space is used).
    const QString video = root() + QStringLiteral("/tape.avi");
    {
        QFile f(video);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("RIFF");
        ASSERT_TRUE(f.resize(qint64(3) << 30));
    }
    const QString large = raisedMessage<EXmlDocError>([&] { TTHProject::CreateFromFile(video); });
    EXPECT_TRUE(large.contains(video) && large.contains(QStringLiteral("larger than 16 MB"))) << large.toStdString();

    // Nested far deeper than any project: refused before the parser sees it.
    QByteArray deep = "<?xml version=\"1.0\"?><project>";
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";
    deep += "</project>";
    const QString nested = put(deep, QStringLiteral("deep.thp"));
    const QString message = raisedMessage<EXmlDocError>([&] { TTHProject::CreateFromFile(nested); });
    EXPECT_TRUE(message.contains(nested) && message.contains(QStringLiteral("nested more than 32 deep")))
        << message.toStdString();

    // Extra elements a little deeper than the format's own still load.
    const QString extras =
        put(projectXml(captures(), {}, "<files/><note><a><b><c><d><e>x</e></d></c></b></a></note>"),
            QStringLiteral("extras.thp"));
    EXPECT_NO_THROW(TTHProject::CreateFromFile(extras));
}

TEST_F(ProjectFile, LoadingTheSamePathReadsNothing)
{
    auto p = TTHProject::CreateFromFile(QString());
    EXPECT_TRUE(p->IsNew);
    EXPECT_TRUE(p->Modified); // the defaults went through the setters
    EXPECT_TRUE(p->CaptureJob);
    EXPECT_EQ(p->CaptureFolder, QStringLiteral("/Video"));

    const QString path = put(projectXml(captures()));
    auto q = TTHProject::CreateFromFile(path);
    q->SetSplitFiles(true);
    writeFile(path, "garbage");
    q->LoadFromFile(path);
    EXPECT_TRUE(q->SplitFiles);
    EXPECT_TRUE(q->Modified);
}

TEST_F(ProjectFile, FailedSaveRaisesWithTheNameAndChangesNothing)
{
    writeFile(root() + QStringLiteral("/plain"), "x");
    auto p = TTHProject::CreateNew(root() + QStringLiteral("/Projects"), QStringLiteral("Trip"));
    p->SetSplitFiles(true);
    p->FileName = root() + QStringLiteral("/plain/sub/Trip.thp");
    const QString message = raisedMessage<EXmlDocError>([&] { p->Save(); });
    EXPECT_TRUE(message.contains(p->FileName)) << message.toStdString();
    EXPECT_EQ(p->FileName, root() + QStringLiteral("/plain/sub/Trip.thp"));
    EXPECT_TRUE(p->Modified);
    EXPECT_TRUE(p->IsNew);
}

TEST_F(ProjectFile, TextsThatXmlCannotHoldFailTheSaveAndKeepTheOldFile)
{
    auto p = makeFull({});
    p->Save();
    const QByteArray before = readFile(p->FileName);
    const QStringList bad = {QStringLiteral("bell\x07.avi"), QStringLiteral("a") + QChar(0xD800) + QStringLiteral(".avi"),
                             QStringLiteral("nul") + QChar(0) + QStringLiteral(".avi")};
    for (const QString& name : bad) {
        p->Files = {root() + QStringLiteral("/") + name};
        p->Modified = true;
        EXPECT_NE(raisedMessage<EXmlDocError>([&] { p->Save(); }), QStringLiteral("<nothing raised>"));
        EXPECT_EQ(readFile(p->FileName), before);
        EXPECT_TRUE(p->Modified);
    }
    // Tabs, line breaks and characters beyond the basic plane are fine.
    p->Files = {root() + QStringLiteral("/tab\tand \U0001F600.avi")};
    writeFile(p->Files.first(), "");
    p->Save();
    DialogScript none;
    auto q = TTHProject::CreateFromFile(p->FileName);
    EXPECT_TRUE(none.asked.isEmpty());
    EXPECT_EQ(q->Files, p->Files);
}

TEST_F(ProjectFile, AFullDiskLeavesTheOldFileWhole)
{
    // One page of a real disk (or, where none can be mounted, a file size
    // limit of one page while the project saves): the old document fits, the
    // new one is far larger.
    th::test::SmallDisk disk(th::test::SmallDisk::Kind::Full, 4096, false);
    QStringList many;
    for (int i = 0; i < 200; ++i)
        many << captures() + QStringLiteral("/scene %1.avi").arg(i);
    auto p = TTHProject::CreateNew((disk.mounted() ? disk.qpath() : root()) + QStringLiteral("/Projects"),
                                   QStringLiteral("Trip"));
    p->SetCaptureFolder(captures());
    p->Files = QStringList{many.first()};
    p->Save();
    const QByteArray before = readFile(p->FileName);
    ASSERT_FALSE(before.isEmpty());
    p->Files = many;
    p->Modified = true;

    QString message;
    if (disk.mounted()) {
        message = raisedMessage<EXmlDocError>([&] { p->Save(); });
    } else {
        struct rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 4096;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        message = raisedMessage<EXmlDocError>([&] { p->Save(); });
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    if (disk.mounted()) {
        EXPECT_TRUE(message.startsWith(QStringLiteral("The disk that holds \"%1\" is full.").arg(p->FileName)))
            << message.toStdString();
    }
    EXPECT_TRUE(message.contains(p->FileName)) << message.toStdString();
    EXPECT_EQ(readFile(p->FileName), before);
    EXPECT_TRUE(p->Modified);
    EXPECT_EQ(QDir(QFileInfo(p->FileName).path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
              QStringList{QStringLiteral("Trip.thp")});
}

} // namespace
