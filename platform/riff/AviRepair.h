#pragma once
// Makes an AVI file whole that its writer never closed (the program was
// killed, the power went): the chunks that reached the disk are kept, a chunk
// cut short at the end goes, and the sizes, frame counts and indexes are
// rebuilt from the chunks as the writers' own close writes them: a standard
// index per stream and piece, the super indexes in the headers, and 'idx1'
// for a file of one piece. No Qt.

#include <cstdint>
#include <string>

namespace th::riff {

struct AviRepair {
    bool ok = false;           // the file is whole now
    std::int64_t frames = 0;   // video frames it holds
    std::string error;         // why it could not be made whole
};

// True when the file is an AVI whose sizes or indexes were never written:
// a RIFF size of 0 or one that runs past the end of the file, or no index.
bool AviIsUnfinished(const std::string& path);

// Rebuilds an unfinished file in place.
AviRepair RepairAvi(const std::string& path);

} // namespace th::riff
