// libFuzzer entry for the DV Splitter's frame parser and the DV decoding.
#include "DvSplitterFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    th::fuzz::DvSplitterFrameOne(data, size);
    return 0;
}
