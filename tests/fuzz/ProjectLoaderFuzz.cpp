// libFuzzer entry for the project loader.
#include "ProjectLoaderFuzzBody.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QTemporaryDir registry;
    setenv("THARVEST_REGISTRY_DIR", registry.path().toLocal8Bit().constData(), 0);
    static int argc = 1;
    static char name[] = "project_loader_fuzz";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    th::fuzz::ProjectLoaderSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    th::fuzz::ProjectLoaderOne(data, size);
    return 0;
}
