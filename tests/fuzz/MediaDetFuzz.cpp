// libFuzzer entry for the media detector's opening and reading of files.
#include "MediaDetFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    th::fuzz::MediaDetOpenOne(data, size);
    return 0;
}
