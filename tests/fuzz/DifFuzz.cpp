// libFuzzer entry for the DIF readers and pack parsers.
#include "DifFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    th::fuzz::DifFrameOne(data, size);
    return 0;
}
