#pragma once
// Shutdown backends for the tests: one that counts the calls and answers as
// told, and one that fails the test if the real machine would be asked. No
// test may reach the real power-off.
#include "platform/win/Shutdown.h"

#include <gtest/gtest.h>

#include <atomic>

namespace th::test {

struct ShutdownCalls {
    std::atomic<int> can{0};
    std::atomic<int> off{0};
};

class FakeShutdownBackend final : public th::win::ShutdownBackend {
public:
    FakeShutdownBackend(bool allowed, ShutdownCalls& calls) : allowed_(allowed), calls_(calls) {}
    bool canPowerOff() override
    {
        ++calls_.can;
        return allowed_;
    }
    bool powerOff() override
    {
        ++calls_.off;
        return true;
    }

private:
    bool allowed_;
    ShutdownCalls& calls_;
};

class RefusingShutdownBackend final : public th::win::ShutdownBackend {
    bool canPowerOff() override { return false; }
    bool powerOff() override
    {
        ADD_FAILURE() << "power-off reached outside a test backend";
        return false;
    }
};

} // namespace th::test
