// Helper of the registry tests: one of several processes writing into the same
// hive at once. Usage: th_registry_writer <name prefix> <count>. Exit status 0
// when every write succeeded.
#include "platform/registry/Registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const std::string prefix = argv[1];
    const int count = std::atoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        HKEY key = nullptr;
        // Every writer makes the same keys, so creation races too.
        const std::string path = "Software\\Shared\\K" + std::to_string(i % 7);
        if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            std::fprintf(stderr, "create %s: %s\n", path.c_str(), th::registry::RegLastErrorText().c_str());
            return 1;
        }
        const std::string name = prefix + "_" + std::to_string(i);
        const LONG rc = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                       static_cast<DWORD>(name.size() + 1));
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "set %s: %s\n", name.c_str(), th::registry::RegLastErrorText().c_str());
            return 1;
        }
    }
    return 0;
}
