// The toolkit's registry wrappers: what reads, what raises, what answers False.
#include "platform/rtl/TRegistry.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

const QString kProgramKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest");

class TRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("THARVEST_REGISTRY_DIR", dir.path().c_str(), 1); }

    // Writes a value of any type straight through the registry calls.
    void rawSet(const char* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Tolmar\\TapeHarvest", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    th::registry::Value rawGet(const char* path, const char* name)
    {
        HKEY key = nullptr;
        th::registry::Value v;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(th::registry::ReadValue(key, name, &v), ERROR_SUCCESS);
        RegCloseKey(key);
        return v;
    }

    template <class F>
    static QString messageOf(F&& f)
    {
        try {
            f();
        } catch (const ERegistryException& e) {
            return e.Message();
        }
        return QStringLiteral("<nothing raised>");
    }

    th::test::TempDir dir;
};

} // namespace

// --- Binary values into a small buffer --------------------------------------------------

TEST_F(TRegistryTest, BinaryValuesOfOneToFiveBytesFillTheBufferFromTheStart)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kProgramKey, true));
    const BYTE src[5] = {1, 0, 1, 1, 0};
    for (int n = 1; n <= 5; ++n) {
        reg.WriteBinaryData("Choice", src, n);
        BYTE buf[5] = {0, 0, 0, 0, 0};
        EXPECT_EQ(reg.ReadBinaryData("Choice", buf, 5), n);
        EXPECT_EQ(std::memcmp(buf, src, static_cast<std::size_t>(n)), 0);
        for (int i = n; i < 5; ++i)
            EXPECT_EQ(buf[i], 0) << "byte " << i << " after a value of " << n;
        EXPECT_EQ(reg.GetDataType("Choice"), rdBinary);
        EXPECT_EQ(reg.GetDataSize("Choice"), n);
    }

    // Missing or empty: 0 and the buffer as it was.
    BYTE buf[5] = {7, 7, 7, 7, 7};
    EXPECT_EQ(reg.ReadBinaryData("Missing", buf, 5), 0);
    reg.WriteBinaryData("Empty", nullptr, 0);
    EXPECT_EQ(reg.ReadBinaryData("Empty", buf, 5), 0);
    EXPECT_EQ(buf[0], 7);

    // A value without a type of its own reads as binary too.
    const BYTE three[3] = {9, 8, 7};
    rawSet("NoType", REG_NONE, three, 3);
    EXPECT_EQ(reg.ReadBinaryData("NoType", buf, 5), 3);
    EXPECT_EQ(buf[2], 7);
}

TEST_F(TRegistryTest, OtherTypesAndLongerValuesRaiseInvalidDataType)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kProgramKey, true));
    reg.WriteString("Shutdown", "1");
    BYTE buf[5] = {0, 0, 0, 0, 0};
    EXPECT_EQ(messageOf([&] { reg.ReadBinaryData("Shutdown", buf, 5); }), "Invalid data type for 'Shutdown'");

    const BYTE six[6] = {1, 1, 1, 1, 1, 1};
    reg.WriteBinaryData("CaptureJob", six, 6);
    EXPECT_EQ(messageOf([&] { reg.ReadBinaryData("CaptureJob", buf, 5); }), "Invalid data type for 'CaptureJob'");
    EXPECT_EQ(buf[0], 0) << "nothing copied from a value that does not fit";

    reg.WriteInteger("Number", 1);
    EXPECT_EQ(messageOf([&] { reg.ReadBinaryData("Number", buf, 5); }), "Invalid data type for 'Number'");

    // Types without a data type of the wrapper's own are no bytes either.
    rawSet("Shutdown", REG_MULTI_SZ, "1\0\0", 3);
    EXPECT_EQ(messageOf([&] { reg.ReadBinaryData("Shutdown", buf, 5); }), "Invalid data type for 'Shutdown'");
    EXPECT_EQ(buf[0], 0);
}

TEST_F(TRegistryTest, RefusedWritesRaiseFailedToSetData)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kProgramKey, true));
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(kProgramKey));
    const BYTE five[5] = {1, 1, 1, 1, 1};
    EXPECT_EQ(messageOf([&] { reg.WriteBinaryData("CaptureJob", five, 5); }),
              "Failed to set data for 'CaptureJob'");
    EXPECT_EQ(messageOf([&] { reg.WriteString("Name", "x"); }), "Failed to set data for 'Name'");
    EXPECT_EQ(reg.Access(), static_cast<REGSAM>(KEY_ALL_ACCESS)) << "the read-only open leaves Access alone";

    TRegistry none;
    EXPECT_EQ(messageOf([&] { none.WriteInteger("Volume", 0); }), "Failed to set data for 'Volume'")
        << "no key open";
}

// --- Keys ------------------------------------------------------------------------------------

TEST_F(TRegistryTest, OpenKeyFollowsRelativeAndRootedPaths)
{
    TRegistry reg;
    EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
    EXPECT_FALSE(reg.OpenKey(kProgramKey, false));
    EXPECT_EQ(reg.CurrentKey(), nullptr);
    ASSERT_TRUE(reg.OpenKey(kProgramKey, true));
    EXPECT_EQ(reg.CurrentPath(), "Software\\Tolmar\\TapeHarvest");
    ASSERT_TRUE(reg.OpenKey("Projects", true));
    EXPECT_EQ(reg.CurrentPath(), "Software\\Tolmar\\TapeHarvest\\Projects");
    reg.WriteString("ProjectsPath", "/home/u/TapeHarvest");

    // A failed open keeps the key open before.
    EXPECT_FALSE(reg.OpenKey("Nowhere", false));
    EXPECT_EQ(reg.CurrentPath(), "Software\\Tolmar\\TapeHarvest\\Projects");
    EXPECT_EQ(reg.ReadString("ProjectsPath"), "/home/u/TapeHarvest");

    ASSERT_TRUE(reg.OpenKey("\\Software\\Tolmar", false));
    EXPECT_EQ(reg.CurrentPath(), "Software\\Tolmar");
    EXPECT_TRUE(reg.KeyExists("TapeHarvest\\projects"));
    EXPECT_TRUE(reg.KeyExists(kProgramKey));
    EXPECT_FALSE(reg.KeyExists("TapeHarvest\\Capture"));
    EXPECT_TRUE(reg.HasSubKeys());

    reg.CloseKey();
    EXPECT_EQ(reg.CurrentKey(), nullptr);
    EXPECT_EQ(reg.CurrentPath(), "");
    // With no key open, a relative path starts at the root.
    EXPECT_TRUE(reg.KeyExists("Software\\Tolmar"));
    EXPECT_TRUE(reg.CreateKey("Software\\Other\\Deep"));
    EXPECT_TRUE(reg.KeyExists("\\Software\\Other\\Deep"));

    reg.SetRootKey(HKEY_CLASSES_ROOT);
    EXPECT_FALSE(reg.KeyExists("Software"));
}

TEST_F(TRegistryTest, KeyAndValueNamesAreListedWithoutRegardToCase)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kProgramKey + "\\Projects", true));
    for (const char* name : {"project2", "Project10", "Project1", "PROJECT3"})
        ASSERT_TRUE(reg.CreateKey(name));
    QStringList keys;
    reg.GetKeyNames(keys);
    EXPECT_EQ(keys, QStringList({"Project1", "Project10", "project2", "PROJECT3"}));

    reg.WriteString("b", "");
    reg.WriteInteger("A", 1);
    reg.WriteBool("c", true);
    QStringList values;
    reg.GetValueNames(values);
    EXPECT_EQ(values, QStringList({"A", "b", "c"}));

    TRegistry none;
    none.GetKeyNames(keys);
    EXPECT_TRUE(keys.isEmpty());
}

TEST_F(TRegistryTest, DeleteKeyTakesTheSubtree)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kProgramKey + "\\Projects\\Project1\\Deeper", true));
    reg.WriteString("FileName", "/p/a.thp");
    ASSERT_TRUE(reg.OpenKey(kProgramKey + "\\Projects", false));
    EXPECT_TRUE(reg.DeleteKey("Project1"));
    EXPECT_FALSE(reg.KeyExists("Project1"));
    EXPECT_FALSE(reg.DeleteKey("Project1"));
    EXPECT_FALSE(reg.DeleteKey(""));
    EXPECT_TRUE(reg.KeyExists(kProgramKey + "\\Projects"));

    reg.WriteString("v", "x");
    EXPECT_TRUE(reg.ValueExists("V"));
    EXPECT_TRUE(reg.DeleteValue("v"));
    EXPECT_FALSE(reg.ValueExists("v"));
    EXPECT_FALSE(reg.DeleteValue("v"));
}

// --- Typed values ----------------------------------------------------------------------------

TEST_F(TRegistryTest, StringsIntegersAndBooleans)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kProgramKey, true));
    const QString text = QString::fromUtf8("Caf\u00e9 \u2013 Projekt");
    reg.WriteString("Name", text);
    EXPECT_EQ(reg.ReadString("Name"), text);
    TRegDataInfo info;
    ASSERT_TRUE(reg.GetDataInfo("Name", info));
    EXPECT_EQ(info.RegData, rdString);
    EXPECT_EQ(info.DataSize, text.toUtf8().size() + 1);
    EXPECT_FALSE(reg.GetDataInfo("Missing", info));
    EXPECT_EQ(info.DataSize, 0);
    EXPECT_EQ(reg.GetDataSize("Missing"), -1);
    EXPECT_EQ(reg.GetDataType("Missing"), rdUnknown);

    EXPECT_EQ(reg.ReadString("Missing"), "");
    reg.WriteExpandString("Path", "$HOME/x");
    EXPECT_EQ(reg.ReadString("Path"), "$HOME/x");
    EXPECT_EQ(reg.GetDataType("Path"), rdExpandString);

    reg.WriteInteger("Volume", -2500);
    EXPECT_EQ(reg.ReadInteger("Volume"), -2500);
    EXPECT_EQ(messageOf([&] { reg.ReadString("Volume"); }), "Invalid data type for 'Volume'");
    EXPECT_EQ(messageOf([&] { reg.ReadInteger("Name"); }), "Failed to get data for 'Name'")
        << "a text longer than an integer does not fit";
    reg.WriteString("Short", "7");
    EXPECT_EQ(messageOf([&] { reg.ReadInteger("Short"); }), "Invalid data type for 'Short'");
    EXPECT_EQ(messageOf([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");

    reg.WriteBool("Flag", true);
    EXPECT_TRUE(reg.ReadBool("Flag"));
    EXPECT_EQ(reg.GetDataType("Flag"), rdInteger);
    reg.WriteBool("Flag", false);
    EXPECT_FALSE(reg.ReadBool("Flag"));
}

// --- The ini-style wrapper -------------------------------------------------------------------

TEST_F(TRegistryTest, IniFileStoresIntegersAsDecimalText)
{
    TRegIniFile ini(kProgramKey);
    EXPECT_EQ(ini.FileName(), kProgramKey);
    EXPECT_EQ(ini.CurrentPath(), "Software\\Tolmar\\TapeHarvest");
    EXPECT_EQ(ini.ReadInteger("Capture", "Volume", 0), 0) << "missing section";

    ini.WriteInteger("Capture", "Volume", -2500);
    const th::registry::Value v = rawGet("Software\\Tolmar\\TapeHarvest\\Capture", "Volume");
    EXPECT_EQ(v.type, REG_SZ);
    EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("-2500", 6));
    EXPECT_EQ(ini.ReadInteger("Capture", "Volume", 0), -2500);
    EXPECT_EQ(ini.ReadInteger("Capture", "Missing", 17), 17);

    ini.WriteString("Capture", "Volume", "loud");
    EXPECT_EQ(ini.ReadInteger("Capture", "Volume", -1), -1) << "text that is not a number gives the default";
    ini.WriteString("Capture", "Volume", "");
    EXPECT_EQ(ini.ReadInteger("Capture", "Volume", 5), 5);

    // An integer stored as a number reads as that number.
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kProgramKey + "\\Capture", false));
        reg.WriteInteger("Dword", 42);
    }
    EXPECT_EQ(ini.ReadInteger("Capture", "Dword", 0), 42);

    ini.WriteBool("Window", "Maximized", true);
    EXPECT_EQ(ini.ReadString("Window", "Maximized", ""), "1");
    EXPECT_TRUE(ini.ReadBool("Window", "Maximized", false));
    ini.WriteBool("Window", "Maximized", false);
    EXPECT_FALSE(ini.ReadBool("Window", "Maximized", true));
    EXPECT_TRUE(ini.ReadBool("Window", "Missing", true));

    // The file key stays the open one after every section call.
    EXPECT_EQ(ini.CurrentPath(), "Software\\Tolmar\\TapeHarvest");
    QStringList sections;
    ini.ReadSections(sections);
    EXPECT_EQ(sections, QStringList({"Capture", "Window"}));
}

TEST_F(TRegistryTest, IniFileStringsSectionsAndErasing)
{
    TRegIniFile ini(kProgramKey);
    EXPECT_EQ(ini.ReadString("Projects", "ProjectsPath", ""), "");
    EXPECT_EQ(ini.ReadString("Projects\\Project1", "Name", "Error"), "Error");
    ini.WriteString("Projects", "ProjectsPath", "/home/u/TapeHarvest");
    ini.WriteString("Projects\\Project1", "Name", "Holiday");
    ini.WriteString("Projects\\Project1", "FileName", "/home/u/TapeHarvest/Holiday/Holiday.thp");
    EXPECT_EQ(ini.ReadString("projects", "projectspath", ""), "/home/u/TapeHarvest");
    EXPECT_EQ(ini.ReadString("Projects\\Project1", "Name", "Error"), "Holiday");

    QStringList names;
    ini.ReadSection("Projects\\Project1", names);
    EXPECT_EQ(names, QStringList({"FileName", "Name"}));
    ini.ReadSection("Nowhere", names);
    EXPECT_TRUE(names.isEmpty());

    ini.DeleteKey("Projects\\Project1", "Name");
    EXPECT_EQ(ini.ReadString("Projects\\Project1", "Name", "Error"), "Error");

    ini.EraseSection("Projects");
    EXPECT_FALSE(ini.KeyExists("Projects"));
    EXPECT_FALSE(ini.KeyExists("Projects\\Project1"));
    EXPECT_EQ(ini.ReadString("Projects", "ProjectsPath", "gone"), "gone");

    // A value of a number type is not a string.
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kProgramKey + "\\Capture", true));
        reg.WriteInteger("Volume", 3);
    }
    EXPECT_EQ(messageOf([&] { ini.ReadString("Capture", "Volume", ""); }), "Invalid data type for 'Volume'");
    EXPECT_EQ(ini.CurrentPath(), "Software\\Tolmar\\TapeHarvest") << "the file key is back after the raise";
    ini.WriteString("Capture", "Other", "x");
    EXPECT_EQ(ini.ReadString("Capture", "Other", ""), "x");
}

// --- A damaged hive --------------------------------------------------------------------------

TEST_F(TRegistryTest, DamagedHiveRaisesWithTheFileNamed)
{
    const std::string file = dir.file("HKEY_CURRENT_USER.db");
    std::string garbage(4096, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>(i * 31 + 7);
    {
        std::ofstream out(file, std::ios::binary);
        out << garbage;
    }
    const QString qfile = QString::fromStdString(file);
    auto expectNamed = [&](auto&& call, const char* what) {
        const QString msg = messageOf(call);
        EXPECT_TRUE(msg.contains(qfile)) << what << ": " << msg.toStdString();
        EXPECT_TRUE(msg.contains("damaged")) << what << ": " << msg.toStdString();
    };

    TRegistry reg;
    expectNamed([&] { reg.OpenKey(kProgramKey, true); }, "OpenKey create");
    expectNamed([&] { reg.OpenKey(kProgramKey, false); }, "OpenKey");
    expectNamed([&] { reg.OpenKeyReadOnly(kProgramKey); }, "OpenKeyReadOnly");
    expectNamed([&] { reg.KeyExists(kProgramKey); }, "KeyExists");
    expectNamed([&] { reg.DeleteKey(kProgramKey); }, "DeleteKey");
    expectNamed([&] { reg.CreateKey("Software"); }, "CreateKey");
    expectNamed([&] { TRegIniFile ini(kProgramKey); }, "TRegIniFile");

    std::ifstream in(file, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, garbage);
}
