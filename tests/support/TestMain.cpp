// One main for every test binary: a QApplication exists for the whole run, so
// that tests of widgets, timers and posted messages have an event loop to use.
#include "platform/start/PlatformStart.h"
#include "platform/registry/Registry.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

// Every case starts as a new user: nothing an earlier case of the same run
// stored in the current user's hive is left, also when all cases share one
// process and one registry folder. Only a test's own registry folder is ever
// cleared, never the user's.
class NewUserForEachCase : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override
    {
        const char* dir = std::getenv("THARVEST_REGISTRY_DIR");
        if (!dir || !*dir)
            return;
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::path(dir) / "HKEY_CURRENT_USER.db", ec))
            RegDeleteTreeA(HKEY_CURRENT_USER, nullptr);
    }
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new NewUserForEachCase);
    QApplication app(argc, argv);
    // As the program starts the platform: its classes and devices.
    th::platform::Start();
    return RUN_ALL_TESTS();
}
