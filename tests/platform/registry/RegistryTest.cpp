// The registry over SQLite: keys, typed values, listing order, deletion, the
// hive location, damaged hives, and several threads and processes at once.
#include "platform/registry/Registry.h"
#include "support/TestUtil.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

using th::registry::RegLastErrorText;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("THARVEST_REGISTRY_DIR", dir.path().c_str(), 1); }

    std::string hiveFile(const char* name = "HKEY_CURRENT_USER") const { return dir.file(std::string(name) + ".db"); }

    HKEY create(const char* path, HKEY root = HKEY_CURRENT_USER, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                  &key, disposition),
                  ERROR_SUCCESS)
            << RegLastErrorText();
        return key;
    }

    static void setString(HKEY key, const char* name, const std::string& text)
    {
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS)
            << RegLastErrorText();
    }

    static std::vector<std::string> subKeys(HKEY key)
    {
        std::vector<std::string> names;
        EXPECT_EQ(th::registry::ListSubKeys(key, &names), ERROR_SUCCESS) << RegLastErrorText();
        return names;
    }

    th::test::TempDir dir;
};

std::vector<char> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

// --- Keys ----------------------------------------------------------------------

TEST_F(RegistryTest, CreateMakesEveryLevelAndReportsWhetherItWasNew)
{
    DWORD disposition = 0;
    HKEY key = create("Software\\Tolmar\\TapeHarvest", HKEY_CURRENT_USER, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(th::registry::KeyPath(key), "Software\\Tolmar\\TapeHarvest");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // Another case finds the same key and keeps the case it was made with.
    key = create("SOFTWARE\\tolmar\\TAPEHARVEST", HKEY_CURRENT_USER, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(th::registry::KeyPath(key), "Software\\Tolmar\\TapeHarvest");

    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\TOLMAR", 0, KEY_READ, &opened), ERROR_SUCCESS);
    EXPECT_EQ(subKeys(opened), std::vector<std::string>{"TapeHarvest"});
    RegCloseKey(opened);

    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Missing", 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(opened, nullptr);
    EXPECT_FALSE(RegLastErrorText().empty());
    RegCloseKey(key);

    // The hives are separate files.
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Software", 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(std::filesystem::exists(hiveFile()));
    EXPECT_TRUE(std::filesystem::exists(hiveFile("HKEY_CLASSES_ROOT")));
}

TEST_F(RegistryTest, HandlesAreCheckedAndClosedOnce)
{
    HKEY key = create("A");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ReadOnlyHandleRefusesWrites)
{
    RegCloseKey(create("A"));
    HKEY ro = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &ro), ERROR_SUCCESS);
    const BYTE one = 1;
    EXPECT_EQ(RegSetValueExA(ro, "v", 0, REG_BINARY, &one, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(ro, "v"), ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(ro, "B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_ACCESS_DENIED);
    RegCloseKey(ro);
}

// --- Values ----------------------------------------------------------------------

TEST_F(RegistryTest, ValuesKeepTypeAndBytesAndReportSizesAsWin32)
{
    HKEY key = create("Software\\T");
    for (DWORD n = 0; n <= 5; ++n) {
        const BYTE bytes[5] = {1, 2, 3, 4, 5};
        const std::string name = "bin" + std::to_string(n);
        ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_BINARY, n ? bytes : nullptr, n), ERROR_SUCCESS);
        DWORD type = 0, size = 0;
        ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_BINARY);
        EXPECT_EQ(size, n);
        BYTE out[8] = {9, 9, 9, 9, 9, 9, 9, 9};
        size = sizeof out;
        ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, &type, out, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, n);
        EXPECT_EQ(std::memcmp(out, bytes, n), 0);
        EXPECT_EQ(out[n], 9) << "nothing written past the value";
    }

    setString(key, "text", "hello");
    DWORD type = 0, size = 3;
    BYTE small[3];
    EXPECT_EQ(RegQueryValueExA(key, "text", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u) << "REG_SZ keeps its terminating null";
    EXPECT_EQ(type, REG_SZ);

    const DWORD number = 0x12345678;
    ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
              ERROR_SUCCESS);
    // Overwriting by another case replaces type and data, and keeps the name.
    setString(key, "NUMBER", "now text");
    th::registry::Value v;
    ASSERT_EQ(th::registry::ReadValue(key, "number", &v), ERROR_SUCCESS);
    EXPECT_EQ(v.name, "Number");
    EXPECT_EQ(v.type, REG_SZ);
    EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("now text", 9));

    // The default value has the empty (or null) name.
    setString(key, nullptr, "default");
    ASSERT_EQ(th::registry::ReadValue(key, "", &v), ERROR_SUCCESS);
    EXPECT_EQ(v.type, REG_SZ);

    EXPECT_EQ(RegDeleteValueA(key, "TEXT"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "text"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "text", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "bin1", nullptr, &type, small, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

// --- Listing ----------------------------------------------------------------------

TEST_F(RegistryTest, ListingIsSortedWithoutRegardToCase)
{
    HKEY key = create("L");
    for (const char* name : {"beta", "_under", "Alpha", "gamma", "ALPHA2", "Zeta", "a"})
        RegCloseKey(create(name, key));
    for (const char* name : {"b", "A", "C"})
        setString(key, name, name);

    // Windows orders by the upper-case form: "_" comes after the letters.
    const std::vector<std::string> expected = {"a", "Alpha", "ALPHA2", "beta", "gamma", "Zeta", "_under"};
    EXPECT_EQ(subKeys(key), expected);

    std::vector<std::string> byIndex;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD size = sizeof name;
        const LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(size, std::strlen(name));
        byIndex.push_back(name);
    }
    EXPECT_EQ(byIndex, expected);

    char tiny[3];
    DWORD tinySize = sizeof tiny;
    EXPECT_EQ(RegEnumKeyExA(key, 1, tiny, &tinySize, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    std::vector<th::registry::Value> values;
    ASSERT_EQ(th::registry::ListValues(key, &values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, "A");
    EXPECT_EQ(values[1].name, "b");
    EXPECT_EQ(values[2].name, "C");

    char vname[8];
    DWORD vsize = sizeof vname, type = 0, dsize = 0;
    ASSERT_EQ(RegEnumValueA(key, 2, vname, &vsize, nullptr, &type, nullptr, &dsize), ERROR_SUCCESS);
    EXPECT_STREQ(vname, "C");
    EXPECT_EQ(dsize, 2u);
    vsize = sizeof vname;
    EXPECT_EQ(RegEnumValueA(key, 3, vname, &vsize, nullptr, &type, nullptr, &dsize), ERROR_NO_MORE_ITEMS);

    DWORD nKeys = 0, maxKey = 0, nValues = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &nKeys, &maxKey, nullptr, &nValues, &maxName,
                               &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(nKeys, 7u);
    EXPECT_EQ(maxKey, 6u);
    EXPECT_EQ(nValues, 3u);
    EXPECT_EQ(maxName, 1u);
    EXPECT_EQ(maxData, 2u);
    RegCloseKey(key);
}

// --- Deletion -----------------------------------------------------------------------

TEST_F(RegistryTest, DeleteTreeRemovesTheWholeSubtree)
{
    HKEY top = create("Software\\P");
    HKEY deep = create("One\\Two\\Three", top);
    setString(deep, "v", "x");
    HKEY one = nullptr;
    ASSERT_EQ(RegOpenKeyExA(top, "one", 0, KEY_ALL_ACCESS, &one), ERROR_SUCCESS);
    RegCloseKey(create("Other", top));

    EXPECT_EQ(RegDeleteKeyA(top, "One"), ERROR_KEY_HAS_CHILDREN);
    EXPECT_EQ(RegDeleteTreeA(top, "ONE"), ERROR_SUCCESS);
    EXPECT_EQ(subKeys(top), std::vector<std::string>{"Other"});
    EXPECT_EQ(RegDeleteTreeA(top, "One"), ERROR_FILE_NOT_FOUND);

    // Handles to deleted keys stay deleted, also once the path is made again.
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(deep, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    HKEY again = create("One\\Two\\Three", top);
    EXPECT_EQ(RegQueryValueExA(again, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND)
        << "values of the old subtree are gone";
    EXPECT_EQ(RegSetValueExA(one, "w", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1), ERROR_KEY_DELETED);
    RegCloseKey(deep);
    RegCloseKey(one);
    RegCloseKey(again);

    // A key without subkeys goes with RegDeleteKeyA, its values with it.
    HKEY leaf = create("Leaf", top);
    setString(leaf, "v", "x");
    RegCloseKey(leaf);
    EXPECT_EQ(RegDeleteKeyA(top, "leaf"), ERROR_SUCCESS);
    leaf = create("Leaf", top);
    EXPECT_EQ(RegQueryValueExA(leaf, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(leaf);

    // With no subkey name, the key stays and loses everything inside it.
    setString(top, "own", "x");
    EXPECT_EQ(RegDeleteTreeA(top, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(subKeys(top).empty());
    EXPECT_EQ(RegQueryValueExA(top, "own", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(top, "after", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1), ERROR_SUCCESS);
    RegCloseKey(top);
}

// --- Where the hives live ---------------------------------------------------------------

TEST_F(RegistryTest, FolderIsReadWhenAHiveIsOpened)
{
    th::test::TempDir other;
    HKEY a = create("InFirst");
    setenv("THARVEST_REGISTRY_DIR", other.path().c_str(), 1);
    HKEY b = create("InSecond");
    EXPECT_TRUE(std::filesystem::exists(other.file("HKEY_CURRENT_USER.db")));
    // The handle opened before keeps working on its own hive.
    setString(a, "v", "first");
    HKEY probe = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "InFirst", 0, KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
    setenv("THARVEST_REGISTRY_DIR", dir.path().c_str(), 1);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "InFirst", 0, KEY_READ, &probe), ERROR_SUCCESS);
    th::registry::Value v;
    EXPECT_EQ(th::registry::ReadValue(probe, "v", &v), ERROR_SUCCESS);
    RegCloseKey(probe);
    RegCloseKey(a);
    RegCloseKey(b);

    unsetenv("THARVEST_REGISTRY_DIR");
    setenv("XDG_CONFIG_HOME", other.path().c_str(), 1);
    EXPECT_EQ(th::registry::RegistryFolder(), other.path() + "/tharvest/registry");
    unsetenv("XDG_CONFIG_HOME");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", other.path().c_str(), 1);
    EXPECT_EQ(th::registry::RegistryFolder(), other.path() + "/.config/tharvest/registry");
    RegCloseKey(create("Made"));
    EXPECT_TRUE(std::filesystem::exists(other.path() + "/.config/tharvest/registry/HKEY_CURRENT_USER.db"));
    setenv("HOME", home.c_str(), 1);
}

// --- Damaged hives --------------------------------------------------------------------

namespace {

// Every kind of call on the damaged hive fails with code and the file named, and
// the file stays as it was.
void expectEveryCallFails(const std::string& file, LONG code, const char* what)
{
    const std::vector<char> before = readFile(file);
    auto check = [&](LONG rc, const char* call) {
        EXPECT_EQ(rc, code) << call;
        EXPECT_NE(RegLastErrorText().find(file), std::string::npos) << call << ": " << RegLastErrorText();
        EXPECT_NE(RegLastErrorText().find(what), std::string::npos) << call << ": " << RegLastErrorText();
    };
    HKEY key = nullptr;
    check(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), "open");
    EXPECT_EQ(key, nullptr);
    check(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr),
          "create");
    const BYTE one = 1;
    check(RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_BINARY, &one, 1), "set");
    DWORD size = 0;
    check(RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size), "query");
    check(RegDeleteValueA(HKEY_CURRENT_USER, "v"), "delete value");
    check(RegDeleteKeyA(HKEY_CURRENT_USER, "Software"), "delete key");
    check(RegDeleteTreeA(HKEY_CURRENT_USER, nullptr), "delete tree");
    char name[16];
    DWORD nameSize = sizeof name;
    check(RegEnumKeyExA(HKEY_CURRENT_USER, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), "enum keys");
    nameSize = sizeof name;
    check(RegEnumValueA(HKEY_CURRENT_USER, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), "enum values");
    std::vector<std::string> names;
    check(th::registry::ListSubKeys(HKEY_CURRENT_USER, &names), "list");
    EXPECT_EQ(readFile(file), before) << "the damaged file is left as it was";
    EXPECT_FALSE(std::filesystem::exists(file + "-journal"));
}

} // namespace

TEST_F(RegistryTest, GarbageHiveFailsEveryCallAndIsLeftAlone)
{
    std::vector<char> garbage(3000);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 7919 + 13) & 0xff);
    writeFile(hiveFile(), garbage);
    expectEveryCallFails(hiveFile(), ERROR_BADDB, "is damaged");
    EXPECT_EQ(readFile(hiveFile()), garbage);

    // The other hive is not affected.
    HKEY key = create("CLSID", HKEY_CLASSES_ROOT);
    EXPECT_NE(key, nullptr);
    RegCloseKey(key);
}

TEST_F(RegistryTest, HiveDamagedWhileAHandleIsOpenFailsFromThenOn)
{
    HKEY key = create("Software\\Open");
    setString(key, "before", "x");
    std::vector<char> garbage(8192, '\x5a');
    writeFile(hiveFile(), garbage);
    th::registry::Value v;
    EXPECT_EQ(th::registry::ReadValue(key, "before", &v), ERROR_BADDB) << RegLastErrorText();
    EXPECT_NE(RegLastErrorText().find(hiveFile()), std::string::npos);
    const BYTE one = 1;
    EXPECT_EQ(RegSetValueExA(key, "after", 0, REG_BINARY, &one, 1), ERROR_BADDB);
    EXPECT_EQ(readFile(hiveFile()), garbage);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ForeignDatabaseIsTakenForDamage)
{
    // A valid registry file, then changed into a database of some other layout.
    RegCloseKey(create("Software"));
    const std::string file = hiveFile();
    {
        // A layout marker of another kind makes it some other program's database.
        std::vector<char> bytes = readFile(file);
        ASSERT_GT(bytes.size(), 64u);
        bytes[60] = 0x7f; // user_version, big-endian at offset 60
        writeFile(file, bytes);
    }
    // No handle holds the hive, so the next call opens the file afresh.
    expectEveryCallFails(file, ERROR_BADDB, "not a registry database");
}

TEST_F(RegistryTest, HiveThatCannotBeOpenedIsNamed)
{
    std::filesystem::create_directories(hiveFile());
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_CANTOPEN);
    EXPECT_NE(RegLastErrorText().find(hiveFile()), std::string::npos) << RegLastErrorText();
    EXPECT_TRUE(std::filesystem::is_directory(hiveFile()));
}

// --- Several writers at once -----------------------------------------------------------------

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing)
{
    constexpr int kThreads = 4;
    constexpr int kValues = 150;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kValues; ++i) {
                HKEY key = nullptr;
                // Every thread makes the same keys, so creation races too.
                const std::string path = "Software\\Race\\K" + std::to_string(i % 10);
                if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
                const DWORD v = static_cast<DWORD>(i);
                if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) !=
                    ERROR_SUCCESS)
                    ++failures;
                RegCloseKey(key);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    int total = 0;
    for (int k = 0; k < 10; ++k) {
        HKEY key = nullptr;
        const std::string path = "Software\\Race\\K" + std::to_string(k);
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        std::vector<th::registry::Value> values;
        ASSERT_EQ(th::registry::ListValues(key, &values), ERROR_SUCCESS);
        total += static_cast<int>(values.size());
        RegCloseKey(key);
    }
    EXPECT_EQ(total, kThreads * kValues);
}

TEST_F(RegistryTest, ProcessesWritingAtOnceLoseNothing)
{
    constexpr int kChildren = 3;
    constexpr int kChildValues = 200;
    std::vector<std::unique_ptr<QProcess>> children;
    for (int c = 0; c < kChildren; ++c) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("THARVEST_REGISTRY_DIR", dir.qpath());
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(TH_REGISTRY_WRITER, {QString("c%1").arg(c), QString::number(kChildValues)});
        ASSERT_TRUE(p->waitForStarted(10000));
        children.push_back(std::move(p));
    }
    for (auto& p : children) {
        ASSERT_TRUE(p->waitForFinished(100000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0) << p->readAll().toStdString();
    }
    int total = 0;
    for (int k = 0; k < 7; ++k) {
        HKEY key = nullptr;
        const std::string path = "Software\\Shared\\K" + std::to_string(k);
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        std::vector<th::registry::Value> values;
        ASSERT_EQ(th::registry::ListValues(key, &values), ERROR_SUCCESS);
        total += static_cast<int>(values.size());
        RegCloseKey(key);
    }
    EXPECT_EQ(total, kChildren * kChildValues);
    EXPECT_EQ(subKeys(HKEY_CURRENT_USER), std::vector<std::string>{"Software"});
}
