// One main for every test binary: a QApplication exists for the whole run, so
// that tests of widgets, timers and posted messages have an event loop to use.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
