#include "MediaDetFuzzBody.h"

#include "platform/media/MediaDet.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace th::fuzz {

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// One file per process, rewritten for every input.
const std::string& scratchFile()
{
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string p = std::string(tmp && *tmp ? tmp : "/tmp") + "/mediadet-fuzz-" + std::to_string(::getpid()) + ".avi";
        return p;
    }();
    return path;
}

} // namespace

void MediaDetOpenOne(const std::uint8_t* data, std::size_t size)
{
    const std::string& path = scratchFile();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0)
            std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return;
    }
    th::media::MediaFile file;
    const HRESULT hr = file.open(path);
    if (hr != S_OK) {
        check(FAILED(hr) && !file.isOpen());
        return;
    }
    std::vector<std::uint8_t> bitmap(40 + 16 * 3 * 12);
    for (int s = 0; s < file.streamCount(); ++s) {
        if (!file.isVideo(s))
            continue;
        const double rate = file.frameRate(s);
        check(rate >= 0);
        for (double t : {0.0, 0.5})
            check(file.frameBitmap(s, t, 16, 12, bitmap.data()) != S_FALSE);
    }
    std::remove(path.c_str());
}

} // namespace th::fuzz
