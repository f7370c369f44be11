// Exceptions, integer conversion, number pictures and path helpers.
#include "platform/rtl/SysUtils.h"
#include "support/TestUtil.h"

#include <QFile>
#include <QLocale>

#include <gtest/gtest.h>

namespace {

// Pins the default locale for one test and puts the previous one back.
class LocaleScope {
public:
    explicit LocaleScope(const QLocale& locale) : saved_(QLocale()) { QLocale::setDefault(locale); }
    ~LocaleScope() { QLocale::setDefault(saved_); }

private:
    QLocale saved_;
};

} // namespace

// --- Exceptions ----------------------------------------------------------------------

TEST(Exceptions, MessageAndWhatAgreeAndTheHierarchyHolds)
{
    const QString text = QString::fromUtf8("Specify the volume, as a number from \u201310,000 to 0.");
    try {
        throw EConvertError(text);
    } catch (const std::exception& e) {
        EXPECT_EQ(QString::fromUtf8(e.what()), text);
        const auto* base = dynamic_cast<const Exception*>(&e);
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(base->Message(), text);
    }
    Exception e(QStringLiteral("first"));
    e.SetMessage(QStringLiteral("second"));
    EXPECT_STREQ(e.what(), "second");
    EXPECT_THROW(throw ERegistryException(QStringLiteral("x")), Exception);
}

TEST(Exceptions, ExternalExceptionNamesTheCodeInUpperCaseHex)
{
    EXPECT_EQ(EExternalException(static_cast<HRESULT>(0x80004005)).Message(), "External exception 80004005");
    EXPECT_EQ(EExternalException(static_cast<HRESULT>(0x8007000E)).Message(), "External exception 8007000E");
    EXPECT_EQ(EExternalException(static_cast<HRESULT>(0x80040154)).ExceptionCode(),
              static_cast<HRESULT>(0x80040154));
    // No leading zeros.
    EXPECT_EQ(EExternalException(0x0000ABCD).Message(), "External exception ABCD");
}

// --- Integers ----------------------------------------------------------------------------

TEST(Integers, StrToIntAcceptsWhatTheRuntimeAccepts)
{
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt("  -7"), -7);
    EXPECT_EQ(StrToInt("+3"), 3);
    EXPECT_EQ(StrToInt("$FF"), 255);
    EXPECT_EQ(StrToInt("0x10"), 16);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);

    for (const char* bad : {"", " ", "-", "12a", "1 ", "abc", "2147483648", "-2147483649", "$", "$1FFFFFFFF",
                            "1.5", "0x"}) {
        EXPECT_EQ(StrToIntDef(bad, -99), -99) << bad;
        try {
            StrToInt(bad);
            ADD_FAILURE() << bad;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("'%1' is not a valid integer value").arg(bad));
        }
    }
}

// --- Number pictures ------------------------------------------------------------------------

TEST(FormatFloat, ThousandsAndTwoDecimalsInEnglish)
{
    LocaleScope english(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString pic = QStringLiteral("#,##0.00");
    EXPECT_EQ(FormatFloat(pic, 0), "0.00");
    EXPECT_EQ(FormatFloat(pic, 512), "512.00");
    EXPECT_EQ(FormatFloat(pic, 1023), "1,023.00");
    EXPECT_EQ(FormatFloat(pic, 1536 / 1024.0), "1.50");
    EXPECT_EQ(FormatFloat(pic, 3866695 / 1048576.0), "3.69");
    EXPECT_EQ(FormatFloat(pic, 1024), "1,024.00");
    EXPECT_EQ(FormatFloat(pic, 1234567.891), "1,234,567.89");
    EXPECT_EQ(FormatFloat(pic, 999999.999), "1,000,000.00");
    EXPECT_EQ(FormatFloat(pic, -1.5), "-1.50");
    EXPECT_EQ(FormatFloat(pic, -1023), "-1,023.00");
    EXPECT_EQ(FormatFloat(pic, 0.001), "0.00");
    EXPECT_EQ(FormatFloat(pic, -0.001), "0.00") << "no sign on a value that shows as zero";
    // Halves round away from zero, as written in decimal.
    EXPECT_EQ(FormatFloat(pic, 1.125), "1.13");
    EXPECT_EQ(FormatFloat(pic, 0.005), "0.01");
    EXPECT_EQ(FormatFloat(pic, 2.675), "2.68");
    EXPECT_EQ(FormatFloat(pic, -5.0 / 1000), "-0.01");
    EXPECT_EQ(FormatFloat(pic, -2.5 / 1000), "0.00");
}

TEST(FormatFloat, OtherPicturesAndTheLocaleSeparators)
{
    {
        LocaleScope english(QLocale(QLocale::English, QLocale::UnitedStates));
        EXPECT_EQ(FormatFloat("0", 2.5), "3");
        EXPECT_EQ(FormatFloat("0.##", 2.5), "2.5");
        EXPECT_EQ(FormatFloat("0.##", 2), "2");
        EXPECT_EQ(FormatFloat("#.00", 0.5), ".50");
        EXPECT_EQ(FormatFloat("000", 7), "007");
        EXPECT_EQ(FormatFloat("0.00 MB", 1.5), "1.50 MB");
        EXPECT_EQ(FormatFloat("#,##0", 1234567), "1,234,567");
    }
    LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatFloat("#,##0.00", 1234.5), "1.234,50");
    EXPECT_EQ(FormatFloat("#,##0.00", 0.25), "0,25");
}

// --- Paths ------------------------------------------------------------------------------------

TEST(Paths, PartsOfFileNames)
{
    EXPECT_EQ(ExtractFileExt("/video/capture.avi"), ".avi");
    EXPECT_EQ(ExtractFileExt("/video.d/capture"), "");
    EXPECT_EQ(ExtractFileExt("name."), ".");
    EXPECT_EQ(ChangeFileExt("/video/capture.avi", ".thf"), "/video/capture.thf");
    EXPECT_EQ(ChangeFileExt("/video.d/capture", ".thf"), "/video.d/capture.thf");
    EXPECT_EQ(ChangeFileExt("/v/a.b.avi", ""), "/v/a.b");
    EXPECT_EQ(ExtractFilePath("/a/b/c.thp"), "/a/b/");
    EXPECT_EQ(ExtractFilePath("c.thp"), "");
    EXPECT_EQ(ExtractFileName("/a/b/c.thp"), "c.thp");
    EXPECT_EQ(ExtractFileName("/a/b/"), "");
    EXPECT_EQ(ExtractFileDir("/a/b/c.thp"), "/a/b");
    EXPECT_EQ(ExtractFileDir("/c.thp"), "/");
    EXPECT_EQ(ExtractFileDir("c.thp"), "");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/home/u"), "/home/u/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/home/u/"), "/home/u/");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/home/u/"), "/home/u");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/home/u"), "/home/u");
}

TEST(Paths, FilesAndFolders)
{
    th::test::TempDir dir;
    const QString deep = dir.qpath() + "/one/two/three";
    EXPECT_FALSE(DirectoryExists(deep));
    EXPECT_TRUE(ForceDirectories(deep));
    EXPECT_TRUE(DirectoryExists(deep));
    EXPECT_TRUE(ForceDirectories(deep + "/")) << "an existing folder is fine";
    EXPECT_FALSE(FileExists(deep)) << "a folder is not a file";

    const QString file = deep + "/project.thp";
    EXPECT_FALSE(FileExists(file));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(DirectoryExists(file));
    EXPECT_FALSE(ForceDirectories(file + "/below")) << "a file stands in the way";
    EXPECT_FALSE(ForceDirectories(""));
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(DirectoryExists(""));
}

TEST(SysUtils, SameTextIgnoresTheCaseOfAsciiLettersOnly)
{
    EXPECT_TRUE(SameText(QStringLiteral("/Home/Film.THP"), QStringLiteral("/home/film.thp")));
    EXPECT_FALSE(SameText(QStringLiteral("\u00e9t\u00e9"), QStringLiteral("\u00c9T\u00c9")));
    EXPECT_FALSE(SameText(QStringLiteral("a"), QStringLiteral("ab")));
    EXPECT_FALSE(SameText(QStringLiteral("[a]"), QStringLiteral("{a}"))); // neighbours of the letters in ASCII
}
