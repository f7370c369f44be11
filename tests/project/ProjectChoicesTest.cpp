// The registry history of the user's last five answers.
#include "project/Project.h"

#include "platform/registry/Registry.h"

#include "ProjectTestUtil.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <vector>

using th::test::raisedMessage;
using th::test::TempDir;

namespace {

constexpr const char* kProgramKey = "Software\\Tolmar\\TapeHarvest";

void storeRaw(const char* name, DWORD type, const std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kProgramKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    RegCloseKey(key);
}

// The stored bytes and their type; type REG_NONE and no bytes when missing.
std::pair<DWORD, std::vector<BYTE>> stored(const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kProgramKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {REG_NONE, {}};
    th::registry::Value value;
    const LONG rc = th::registry::ReadValue(key, name, &value);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return {REG_NONE, {}};
    return {value.type, value.data};
}

std::vector<BYTE> bytes(std::initializer_list<int> list) { return std::vector<BYTE>(list.begin(), list.end()); }

TEST(ProjectChoices, MissingValuesGiveTheDefaults)
{
    EXPECT_TRUE(TTHProject::ReadChoice(QStringLiteral("CaptureJob"), true));
    EXPECT_FALSE(TTHProject::ReadChoice(QStringLiteral("SplitFiles"), false));
    // Reading writes nothing.
    EXPECT_EQ(stored("CaptureJob").second, std::vector<BYTE>());

    storeRaw("Shutdown", REG_BINARY, {}); // a value of length 0 is missing too
    EXPECT_TRUE(TTHProject::ReadChoice(QStringLiteral("Shutdown"), true));
}

TEST(ProjectChoices, MajorityOfTheLastFivePushes)
{
    const QString name = QStringLiteral("CaptureJob");
    TTHProject::WriteChoice(name, false, 1);
    EXPECT_EQ(stored("CaptureJob"), std::make_pair(REG_BINARY, bytes({0, 1, 1, 1, 1})));
    EXPECT_TRUE(TTHProject::ReadChoice(name, true));
    TTHProject::WriteChoice(name, false, 1);
    EXPECT_TRUE(TTHProject::ReadChoice(name, true));
    TTHProject::WriteChoice(name, false, 1);
    EXPECT_EQ(stored("CaptureJob").second, bytes({0, 0, 0, 1, 1}));
    EXPECT_FALSE(TTHProject::ReadChoice(name, true));

    // The oldest answer drops out.
    for (int i = 0; i < 3; ++i)
        TTHProject::WriteChoice(name, true, 1);
    EXPECT_EQ(stored("CaptureJob").second, bytes({1, 1, 1, 0, 0}));
    EXPECT_TRUE(TTHProject::ReadChoice(name, false));

    // Every non-zero byte is a yes.
    storeRaw("CaptureJob", REG_BINARY, bytes({7, 0, 255, 0, 2}));
    EXPECT_TRUE(TTHProject::ReadChoice(name, false));
}

TEST(ProjectChoices, PreviewIsReadWithYesButWrittenWithNo)
{
    TempDir dir;
    auto first = TTHProject::CreateNew(dir.qpath(), QStringLiteral("One"));
    EXPECT_TRUE(first->ShowPreview);
    first->RememberChoices({TProjectChoice::ShowPreview});
    EXPECT_EQ(stored("ShowPreview").second, bytes({1, 0, 0, 0, 0}));
    auto second = TTHProject::CreateNew(dir.qpath(), QStringLiteral("Two"));
    EXPECT_FALSE(second->ShowPreview);
    // The other four fill a missing history with their reading default.
    first->RememberChoices({TProjectChoice::RewindTape});
    EXPECT_EQ(stored("RewindTape").second, bytes({1, 1, 1, 1, 1}));
}

TEST(ProjectChoices, ShortValuesAreFilledWithNo)
{
    storeRaw("SplitFiles", REG_BINARY, bytes({1, 1}));
    EXPECT_FALSE(TTHProject::ReadChoice(QStringLiteral("SplitFiles"), true));
    TTHProject::WriteChoice(QStringLiteral("SplitFiles"), true, 0);
    EXPECT_EQ(stored("SplitFiles").second, bytes({1, 1, 1, 0, 0}));
    EXPECT_TRUE(TTHProject::ReadChoice(QStringLiteral("SplitFiles"), false));

    // A value of no type is read like a binary one.
    storeRaw("RewindTape", REG_NONE, bytes({1, 1, 1}));
    EXPECT_TRUE(TTHProject::ReadChoice(QStringLiteral("RewindTape"), false));
}

TEST(ProjectChoices, ValuesOfAnotherTypeOrSizeRaise)
{
    TempDir dir;
    const char text[] = "1";
    storeRaw("Shutdown", REG_SZ, std::vector<BYTE>(text, text + sizeof text));
    EXPECT_EQ(raisedMessage([] { TTHProject::ReadChoice(QStringLiteral("Shutdown"), false); }),
              QStringLiteral("Invalid data type for 'Shutdown'"));
    EXPECT_EQ(raisedMessage([] { TTHProject::WriteChoice(QStringLiteral("Shutdown"), true, 0); }),
              QStringLiteral("Invalid data type for 'Shutdown'"));
    // Nothing was written over the bad value.
    EXPECT_EQ(stored("Shutdown").first, REG_SZ);
    // No project results while the history cannot be read.
    std::unique_ptr<TTHProject> p;
    EXPECT_EQ(raisedMessage([&] { p = TTHProject::CreateNew(dir.qpath(), QStringLiteral("x")); }),
              QStringLiteral("Invalid data type for 'Shutdown'"));
    EXPECT_EQ(p, nullptr);

    storeRaw("CaptureJob", REG_BINARY, bytes({1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(raisedMessage([] { TTHProject::ReadChoice(QStringLiteral("CaptureJob"), false); }),
              QStringLiteral("Invalid data type for 'CaptureJob'"));
    storeRaw("RewindTape", REG_DWORD, bytes({1, 0, 0, 0}));
    EXPECT_EQ(raisedMessage([] { TTHProject::ReadChoice(QStringLiteral("RewindTape"), false); }),
              QStringLiteral("Invalid data type for 'RewindTape'"));
}

TEST(ProjectChoices, RememberChoicesPushesOnlyTheNamedFieldsWithTheirWriteDefaults)
{
    TempDir dir;
    auto p = TTHProject::CreateNew(dir.qpath(), QStringLiteral("Trip"));
    p->SetCaptureJob(false);
    p->SetSplitFiles(true);
    p->SetShutdown(true);
    const bool modified = p->Modified;
    p->RememberChoices({TProjectChoice::RewindTape, TProjectChoice::ShowPreview, TProjectChoice::SplitFiles});
    EXPECT_EQ(stored("CaptureJob").second, std::vector<BYTE>());
    EXPECT_EQ(stored("Shutdown").second, std::vector<BYTE>());
    EXPECT_EQ(stored("RewindTape").second, bytes({1, 1, 1, 1, 1}));
    EXPECT_EQ(stored("ShowPreview").second, bytes({1, 0, 0, 0, 0}));
    EXPECT_EQ(stored("SplitFiles").second, bytes({1, 0, 0, 0, 0}));
    EXPECT_EQ(p->Modified, modified);

    p->RememberChoices({TProjectChoice::CaptureJob, TProjectChoice::Shutdown});
    EXPECT_EQ(stored("CaptureJob").second, bytes({0, 1, 1, 1, 1}));
    EXPECT_EQ(stored("Shutdown").second, bytes({1, 0, 0, 0, 0}));
}

} // namespace
