#pragma once
// The tests' AVI oracle under the name the writer and capture tests use.
#include "AviOracle.h"

namespace avicheck {
using namespace avioracle;
using StreamIndex = avioracle::Stream;
using IndexEntry = avioracle::Stream::Entry;
} // namespace avicheck
