// regsvr: registers a plugin module (calls its DllRegisterServer), or with /u
// removes its registration (DllUnregisterServer). Exit status 0 only on S_OK.

#include "platform/com/Com.h"
#include "platform/dshow/BuiltinClasses.h"

#include <dlfcn.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: regsvr [/u] [/s] <module>\n"
                 "  registers the module's classes (calls DllRegisterServer)\n"
                 "  /u  removes its registration instead (DllUnregisterServer)\n"
                 "  /s  prints nothing on success\n");
    return 2;
}

bool isFlag(const char* arg, char letter)
{
    return (arg[0] == '/' || arg[0] == '-') && (arg[1] == letter || arg[1] == (letter - 'a' + 'A')) && arg[2] == '\0';
}

} // namespace

int main(int argc, char** argv)
{
    bool unregister = false;
    bool silent = false;
    const char* module = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (isFlag(argv[i], 'u'))
            unregister = true;
        else if (isFlag(argv[i], 's'))
            silent = true;
        else if (!module)
            module = argv[i];
        else
            return usage();
    }
    if (!module)
        return usage();

    // The module registers the path it was loaded from, so load it by its full path.
    char full[PATH_MAX];
    if (!realpath(module, full)) {
        std::fprintf(stderr, "regsvr: %s: %s\n", module, std::strerror(errno));
        return 1;
    }

    CoInitialize(nullptr);
    // Modules find the platform's classes (the filter mapper above all) here.
    th::dshow::RegisterBuiltinClasses();
    // Kept mapped until exit: the module has thread-local storage, and an unloaded
    // module's stale TLS entry is still walked at exit (see ComRuntime.cpp).
    void* handle = dlopen(full, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        std::fprintf(stderr, "regsvr: cannot load %s: %s\n", full, dlerror());
        CoUninitialize();
        return 1;
    }
    const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    using EntryFn = HRESULT (*)();
    auto entry = reinterpret_cast<EntryFn>(dlsym(handle, entryName));
    if (!entry) {
        std::fprintf(stderr, "regsvr: %s has no %s\n", full, entryName);
        dlclose(handle);
        CoUninitialize();
        return 1;
    }
    const HRESULT hr = entry();
    dlclose(handle);
    CoUninitialize();
    if (hr != S_OK) {
        std::fprintf(stderr, "regsvr: %s in %s failed: 0x%08X\n", entryName, full, static_cast<unsigned>(hr));
        return 1;
    }
    if (!silent)
        std::printf("%s in %s succeeded.\n", entryName, full);
    return 0;
}
