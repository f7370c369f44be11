// The About box: the version split rule, the version record read back from
// an executable file (this test program links the record in too), damaged
// files, and the dialog itself.
#include "app/About.h"
#include "app/Dialogs.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <elf.h>

#include <cstring>

#include <gtest/gtest.h>

namespace {

TVersionLabels Labels(const QString& FileVersion)
{
    return VersionLabelsOf(FileVersion, QStringLiteral("9.9"));
}

} // namespace

TEST(AboutVersion, FourPartsGiveVersionAndBuild)
{
    EXPECT_EQ(Labels(QStringLiteral("1.0.0.65")).Version, QStringLiteral("1.0.0"));
    EXPECT_EQ(Labels(QStringLiteral("1.0.0.65")).Build, QStringLiteral("65"));
    // Empty parts count; a trailing full stop adds none.
    EXPECT_EQ(SplitFileVersion(QStringLiteral("1..0.65")),
              QStringList({QStringLiteral("1"), QString(), QStringLiteral("0"), QStringLiteral("65")}));
    EXPECT_EQ(Labels(QStringLiteral("1..0.65")).Version, QStringLiteral("1..0"));
    EXPECT_EQ(Labels(QStringLiteral("1.0.0.65.")).Build, QStringLiteral("65"));
}

TEST(AboutVersion, OtherCountsShowTheProductVersionAndTheWholeFileVersion)
{
    for (const QString& fileVersion : {QStringLiteral("1.0.0"), QStringLiteral("1.0.0."), QStringLiteral("1.2.3.4.5"),
                                       QString(), QStringLiteral("65")}) {
        const TVersionLabels labels = Labels(fileVersion);
        EXPECT_EQ(labels.Version, QStringLiteral("9.9")) << fileVersion.toStdString();
        EXPECT_EQ(labels.Build, fileVersion) << fileVersion.toStdString();
    }
    EXPECT_EQ(SplitFileVersion(QStringLiteral("1.0.0.")).size(), 3);
    EXPECT_TRUE(SplitFileVersion(QString()).isEmpty());
    EXPECT_EQ(SplitFileVersion(QStringLiteral(".")), QStringList({QString()}));
}

TEST(AboutVersion, NoRecordShowsTheProductVersionAlone)
{
    const TVersionLabels none = VersionLabelsOf(QMap<QString, QString>{});
    EXPECT_EQ(none.Version, QStringLiteral("1.0"));
    EXPECT_EQ(none.Build, QString());
    const TVersionLabels fileOnly = VersionLabelsOf(QMap<QString, QString>{{QStringLiteral("FileVersion"), QStringLiteral("2.1")}});
    EXPECT_EQ(fileOnly.Version, QStringLiteral("1.0"));
    EXPECT_EQ(fileOnly.Build, QStringLiteral("2.1"));
}

// --- The record in the executable file -----------------------------------------------------

class VersionRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile self(QCoreApplication::applicationFilePath());
        ASSERT_TRUE(self.open(QIODevice::ReadOnly));
        image = self.readAll();
        ASSERT_GT(image.size(), qsizetype(sizeof(Elf64_Ehdr)));
        std::memcpy(&header, image.constData(), sizeof header);
    }

    QString Write(const QByteArray& Bytes)
    {
        const QString name = dir.qpath() + QStringLiteral("/copy") + QString::number(++copies);
        QFile out(name);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(Bytes);
        return name;
    }

    th::test::TempDir dir;
    QByteArray image;
    Elf64_Ehdr header{};
    int copies = 0;
};

TEST_F(VersionRecord, TheProgramCarriesItsOwnRecord)
{
    const QMap<QString, QString> values = ReadVersionStrings(QCoreApplication::applicationFilePath());
    EXPECT_EQ(values.value(QStringLiteral("FileVersion")), QStringLiteral("1.0.0.65"));
    EXPECT_EQ(values.value(QStringLiteral("ProductVersion")), QStringLiteral("1.0"));
    // The copy reads the same, so the record is in the file, not in memory.
    EXPECT_EQ(ReadVersionStrings(Write(image)), values);
}

TEST_F(VersionRecord, FilesWithoutARecordGiveNothing)
{
    EXPECT_TRUE(ReadVersionStrings(dir.qpath() + QStringLiteral("/missing")).isEmpty());
    EXPECT_TRUE(ReadVersionStrings(Write(QByteArray("not a program at all"))).isEmpty());
    EXPECT_TRUE(ReadVersionStrings(Write(QByteArray())).isEmpty());
    EXPECT_TRUE(ReadVersionStrings(dir.qpath()).isEmpty());

    // Every copy of the name, the section's among them, spelled otherwise.
    QByteArray renamed = image;
    renamed.replace(QByteArray(".tharvest.version"), QByteArray(".tharvest.versioX"));
    EXPECT_TRUE(ReadVersionStrings(Write(renamed)).isEmpty());
}

TEST_F(VersionRecord, DamagedFilesAreReadSafely)
{
    // Cut anywhere: in the header, before the section table, inside it.
    const Elf64_Ehdr& h = header;
    for (qsizetype cut : {qsizetype(16), qsizetype(63), qsizetype(4096), qsizetype(h.e_shoff),
                          qsizetype(h.e_shoff + 100), image.size() - 1}) {
        if (cut < image.size()) {
            EXPECT_TRUE(ReadVersionStrings(Write(image.left(cut))).isEmpty()) << cut;
        }
    }

    auto patched = [&](auto Patch) {
        QByteArray bytes = image;
        Elf64_Ehdr changed = header;
        Patch(changed);
        bytes.replace(qsizetype(0), qsizetype(sizeof changed), QByteArrayView(reinterpret_cast<const char*>(&changed), qsizetype(sizeof changed)));
        return ReadVersionStrings(Write(bytes));
    };
    EXPECT_TRUE(patched([](Elf64_Ehdr& e) { e.e_shoff = ~Elf64_Off(0) - 8; }).isEmpty());
    EXPECT_TRUE(patched([](Elf64_Ehdr& e) { e.e_shnum = 0xfffe; }).isEmpty());
    EXPECT_TRUE(patched([](Elf64_Ehdr& e) { e.e_shstrndx = e.e_shnum; }).isEmpty());
    EXPECT_TRUE(patched([](Elf64_Ehdr& e) { e.e_shentsize = 12; }).isEmpty());
    EXPECT_TRUE(patched([](Elf64_Ehdr& e) { e.e_ident[EI_CLASS] = ELFCLASS32; }).isEmpty());
}

TEST_F(VersionRecord, ARecordCutShortKeepsTheValuesBeforeTheDamage)
{
    // The record with its end mark; this test's own copy of the bytes is
    // changed too, which does not matter in a file that is only read.
    const QByteArray record("FileVersion\0" "1.0.0.65\0" "ProductVersion\0" "1.0\0", 41);
    QByteArray damaged = record;
    // The last value and the end mark lose their terminators.
    damaged[record.size() - 2] = 'x';
    damaged[record.size() - 1] = 'x';
    QByteArray bytes = image;
    ASSERT_GE(bytes.indexOf(record), 0);
    bytes.replace(record, damaged);
    const QMap<QString, QString> values = ReadVersionStrings(Write(bytes));
    EXPECT_EQ(values.value(QStringLiteral("FileVersion")), QStringLiteral("1.0.0.65"));
    EXPECT_FALSE(values.contains(QStringLiteral("ProductVersion")));
}

// --- The dialog --------------------------------------------------------------------------

namespace {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

} // namespace

TEST(AboutForm, HasItsControlsWhereTheFormPutsThem)
{
    TAboutForm form(nullptr);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("About Tolmar TapeHarvest"));
    EXPECT_EQ(form.size(), QSize(380, 227));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());

    struct Expected {
        const char* name;
        QPoint at;
    };
    for (const Expected& e : {Expected{"Image1", {0, 0}}, Expected{"BetaLabel", {225, 60}}, Expected{"Bevel1", {0, 76}},
                              Expected{"Label1", {170, 80}}, Expected{"VersionLabel", {218, 80}},
                              Expected{"Label2", {266, 80}}, Expected{"BuildLabel", {298, 80}},
                              Expected{"Label5", {16, 152}}, Expected{"Bevel2", {8, 184}},
                              Expected{"BitBtn1", {296, 192}}}) {
        auto* w = form.findChild<QWidget*>(QString::fromLatin1(e.name));
        ASSERT_NE(w, nullptr) << e.name;
        EXPECT_EQ(w->pos(), e.at) << e.name;
    }
    EXPECT_EQ(form.Image1->size(), QSize(386, 76));
    EXPECT_FALSE(form.Image1->pixmap().isNull());
    EXPECT_EQ(form.BitBtn1->size(), QSize(75, 25));
    EXPECT_EQ(form.Bevel2->width(), 369);

    EXPECT_EQ(form.BetaLabel->text(), QStringLiteral("beta version"));
    EXPECT_TRUE(form.BetaLabel->isVisibleTo(&form));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("Version:"));
    EXPECT_EQ(form.Label2->text(), QStringLiteral("Build:"));
    EXPECT_EQ(form.Label5->text(), AboutHomePage());
    EXPECT_TRUE(form.Label5->font().underline());
    EXPECT_EQ(form.Label5->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(form.BitBtn1->text(), QStringLiteral("OK"));
    EXPECT_TRUE(form.BitBtn1->isDefault());
}

TEST(AboutForm, EveryShowingReadsTheVersionAndOkClosesIt)
{
    TAboutForm form(nullptr);
    QString version, build;
    SetModalHook([&](QDialog& d) -> int {
        auto& about = static_cast<TAboutForm&>(d);
        version = about.VersionLabel->text();
        build = about.BuildLabel->text();
        about.BitBtn1->click();
        return mrCancel;
    });
    EXPECT_EQ(ExecModal(form), mrCancel);
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(version, QStringLiteral("1.0.0"));
    EXPECT_EQ(build, QStringLiteral("65"));

    form.VersionLabel->setText(QStringLiteral("stale"));
    form.BuildLabel->setText(QStringLiteral("stale"));
    ExecModal(form);
    SetModalHook({});
    EXPECT_EQ(version, QStringLiteral("1.0.0"));
    EXPECT_EQ(build, QStringLiteral("65"));
}

TEST(AboutForm, ClickingTheAddressOpensTheHomePage)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    TAboutForm form(nullptr);
    form.show();
    QTest::mouseClick(form.Label5, Qt::RightButton);
    EXPECT_TRUE(catcher.opened.isEmpty());
    QTest::mouseClick(form.Label5, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened[0], QUrl(AboutHomePage()));
}

#include "AboutTest.moc"
