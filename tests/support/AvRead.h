#pragma once
// Reads an AVI file back with libavformat, as other programs will: the
// independent half of the tests' AVI oracle (AviOracle.h).
#include <cstdint>
#include <string>
#include <vector>

namespace avread {

struct Stream {
    std::string type;  // "video", "audio", ...
    std::string codec; // "dvvideo", "pcm_s16le", ...
    std::int64_t headerFrames = 0; // nb_frames from the headers
    double durationSec = 0;        // from the headers (stream time base)
    int sampleRate = 0;
    int channels = 0;
    int width = 0, height = 0;
    int indexEntries = 0;          // entries libavformat took from the file's index
    std::int64_t lastIndexPos = 0; // file offset of the last of them
    std::int64_t packets = 0;      // packets read
    std::int64_t emptyPackets = 0; // of them, those without data
    std::int64_t bytes = 0;        // their data bytes
    std::vector<std::uint64_t> hashes; // one per packet (FNV-1a of its data)
    std::vector<std::int16_t> left;    // 16-bit PCM: the first channel, when asked for
};

struct File {
    bool opened = false;
    std::string error;
    double durationSec = 0;
    std::vector<Stream> streams;
};

// With readPackets false only the headers and the index are taken. With
// probeStreams the format and the streams are probed as a player does
// (avformat_find_stream_info), so a raw DV file opens too; without it the
// file is read as AVI and its streams are as the headers and packets tell.
// With keepSound the first channel of 16-bit PCM is kept.
File Read(const std::string& path, bool readPackets = true, bool probeStreams = false, bool keepSound = false);

// The frequency of a tone in `pcm` from `from` to `to` (samples at `rate` Hz),
// by its zero crossings.
double ToneHz(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t to, int rate);

std::uint64_t Hash(const void* data, std::size_t n);

} // namespace avread

namespace avread {
// The hash of the data of video packet `frame` (stream 0), reached by seeking;
// 0 when it cannot be read.
std::uint64_t HashOfVideoPacket(const std::string& path, std::int64_t frame);
// The SHA-256 of a whole file in hex ("" when it cannot be read): files that
// must stay byte for byte what an earlier build wrote are compared by it.
std::string FileSha256(const std::string& path);

} // namespace avread
