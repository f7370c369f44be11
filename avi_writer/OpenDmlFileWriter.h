#pragma once
// The file side of the AVI writer filter: OpenDML (AVI 2.0) output files made
// of a first RIFF 'AVI ' that carries every header and as many RIFF 'AVIX'
// extensions as the data needs, each below 1 GiB. There is no 'idx1': every
// stream has a super index ('indx') in the header pointing at standard index
// chunks ('ix00' video, 'ix01' audio) written among the movie data. Headers go
// out with provisional sizes when a file is opened and are rewritten in place
// when it is closed; nothing else ever goes back in the file. A write that the
// file's queue reports failed later takes back what the writer had put after it.
//
// A file switch does not wait for the disk: the finished file, with its
// indexes, headers and the cut-back after a failure, goes to a closer thread
// that finishes the files it is handed in order, while the next file begins
// at once. The queues of all files share one bound on memory; the first
// failure of a closed file is the writer's (when nothing failed before it),
// and closing the writer's file waits for the closer too.
//
// The filter derives from this class, so that its pins reach the writer's
// operations directly; the recorded formats and the counts of the open file
// are theirs to keep, the file's own workings are not. The tests reach the
// state through WriterTestAccess. Every operation takes the writer lock,
// which is re-entrant and is the filter's own lock. No Qt.

#include "platform/base/WinTypes.h"
#include "platform/riff/OpenDmlIndex.h"
#include "platform/riff/RiffFile.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The lock that guards the writer's state: the filter hands in its filter lock.
class WriterLock {
public:
    virtual void lock() = 0;
    virtual void unlock() = 0;

protected:
    ~WriterLock() = default;
};

// A re-entrant writer lock of its own, for a writer used without a filter.
class StdWriterLock final : public WriterLock {
public:
    void lock() override { mutex_.lock(); }
    void unlock() override { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

struct WriterTestAccess; // the tests' view of the state

// The file format's limits. The defaults are the format's; tests lower them to
// cross each limit with small files.
struct OpenDmlLimits {
    std::uint32_t RiffLimit = 0x40000000;  // a chunk that would bring a RIFF to this size starts the next one
    std::uint32_t IndexEntries = 2044;     // entries of one standard index chunk (16384 bytes)
    std::uint32_t SuperIndexEntries = 2044; // entries of one super index (32728 bytes of 'indx' data)
};

// One RIFF of the open file.
struct TRiffRecord {
    std::int64_t StartPos = 0;    // file offset of its 'RIFF' header
    std::uint32_t RiffBytes = 0;  // bytes written into it, its own 8-byte 'RIFF' header included
    std::uint32_t MoviBytes = 0;  // bytes of movie chunks in its 'movi' list
    std::vector<std::uint8_t> Header; // written at StartPos
    std::uint32_t HeaderSize = 0;
    std::size_t RiffPos = 0;      // of the 'RIFF' chunk in Header
    std::size_t MoviPos = 0;      // of the 'movi' LIST in Header
};

class OpenDmlFileWriter {
public:
    // Sizes and ids of the format.
    static constexpr std::uint32_t kMainHeaderSize = 56;
    static constexpr std::uint32_t kStreamHeaderSize = 56;
    static constexpr std::uint32_t kBitmapInfoSize = 40;
    static constexpr std::uint32_t kDVInfoSize = 32;
    static constexpr std::uint32_t kWaveFormatSize = 18;
    static constexpr std::uint32_t kExtHeaderSize = 248;
    static constexpr std::uint32_t kSuperIndexHeaderSize = th::riff::odml::kSuperIndexHeaderBytes;
    static constexpr std::uint32_t kSuperIndexEntrySize = th::riff::odml::kSuperIndexEntryBytes;
    static constexpr std::uint32_t kIndexHeaderSize = 8 + th::riff::odml::kStandardIndexHeaderBytes; // chunk header included
    static constexpr std::uint32_t kIndexEntrySize = th::riff::odml::kStandardIndexEntryBytes;
    static constexpr std::uint32_t kAvixHeaderSize = 24;
    static constexpr std::uint32_t kDroppedFrameSize = th::riff::odml::kNotKeyFrame; // entry size of a dropped frame

    explicit OpenDmlFileWriter(WriterLock& lock, OpenDmlLimits limits = {});
    virtual ~OpenDmlFileWriter();
    OpenDmlFileWriter(const OpenDmlFileWriter&) = delete;
    OpenDmlFileWriter& operator=(const OpenDmlFileWriter&) = delete;

    // --- File operations; results 0 or the codes named ---------------------------

    // 0 when a file is open or was created; 123 (ERROR_INVALID_NAME) without a
    // name; the Win32 error code when the file or its first header cannot be
    // written (no file is open then, and a file without its header is
    // removed), or when a write failed before in this run.
    DWORD OpenFile();
    // Writes the partly filled standard indexes, rewrites every RIFF header
    // with its final sizes and counts, closes. After a failed write the file is
    // first cut back chunk by chunk until its indexes fit, so that they cover
    // every chunk left. The write status (S_OK when nothing failed).
    HRESULT CloseFile();
    bool IsFileOpen() const { return FFile->IsOpen(); }
    // Hands the open file (if any) to the closer, names the next one and
    // opens it without waiting for its first header to reach the disk. The
    // result of OpenFile.
    DWORD SwitchFile(const std::string& name);
    // Waits until what was written is on the disk. 0, or the failure of a
    // write behind, after which the file ends (and counts) as the disk's data
    // does and nothing more goes into it.
    DWORD Flush();

    // Appends a movie or standard index chunk (header and data in one buffer),
    // starting a new 'AVIX' RIFF first when the chunk would bring the current
    // one to the RIFF limit. 0, S_FALSE without a file, or the Win32 error.
    // After a failed write nothing more goes into that file: the same error.
    DWORD WriteMovie(const void* buffer, std::size_t count);
    // The index entry of the chunk just written, from its data size; size 0
    // marks a dropped video frame, which has no chunk.
    void AddVideoIndexEntry(std::uint32_t size);
    void AddAudioIndexEntry(std::uint32_t size);
    // Takes back up to `count` dropped-frame entries from the end of the video
    // index still in memory, with the frames they count: the frame after
    // them failed to be written, so they would stand after the file's last
    // frame. Returns how many were taken back.
    std::int64_t TakeBackDroppedEntries(std::int64_t count);
    // Keeps the largest chunk (data plus its 8-byte header) in the header
    // fields dwSuggestedBufferSize of the open file.
    void NoteVideoChunkSize(std::uint32_t bytes);
    void NoteAudioChunkSize(std::uint32_t bytes);
    // The movie chunk id of video: '00db' for type-2 DV, '00__' otherwise.
    std::uint32_t VideoChunkId() const;

    DWORD Write(const void* buffer, std::size_t count, std::size_t* written);

    // Values of the recorded audio format.
    std::uint32_t WaveSamplesPerSec() const;
    std::uint32_t WaveAvgBytesPerSec() const;
    std::uint16_t WaveBlockAlign() const;

    // Entries a standard index or super index holds now (0 without a file).
    std::uint32_t VideoIndexEntries() const;
    std::uint32_t AudioIndexEntries() const;
    std::uint32_t VideoSuperIndexEntries() const;
    std::uint32_t AudioSuperIndexEntries() const;

    const OpenDmlLimits& Limits() const { return FLimits; }

    // --- Write status: the first failure since ResetWriteStatus, over files ----------

    // HRESULT_FROM_WIN32 of the system's error; S_OK when nothing failed.
    HRESULT WriteError() const;
    // Names the file, the operation and the system's message; empty when none.
    std::string WriteErrorText() const;
    void ResetWriteStatus();
    // The video frames of the files closed since then and of the open one.
    std::int64_t FramesWritten() const;

    // Names the file that the next OpenFile creates (UTF-8), creating nothing yet.
    void SetNextFileName(std::string name);
    // The current output file's name; read under the writer lock.
    const std::string& FileName() const { return FFileName; }
    // 0 none, 1 type-1 DV, 2 type-2 DV; read under the writer lock.
    BYTE DVType() const { return FDVType; }

protected:
    friend struct WriterTestAccess;

    // --- Recorded formats (the filter's pins record them) ---------------------------

    BYTE FDVType = 0;               // 0 none, 1 type-1 DV (interleaved), 2 type-2 DV
    std::int64_t FFrameDuration = 0; // 100 ns
    std::uint32_t FMicroSecPerFrame = 0;
    std::uint32_t FStreamCount = 0;
    std::int32_t FWidth = 0;
    std::int32_t FHeight = 0;
    std::uint32_t FVideoFccType = 0;
    std::uint32_t FVideoScale = 0;
    std::uint32_t FVideoRate = 0;
    std::uint8_t FBitmapInfo[kBitmapInfoSize] = {}; // BITMAPINFOHEADER of type-2 DV
    std::uint8_t FDVInfo[kDVInfoSize] = {};         // DVINFO of type-1 DV
    std::uint8_t FWaveFormat[kWaveFormatSize] = {}; // WAVEFORMATEX of type-2 DV, cbSize included

    bool FChangePending = false; // a switch is scheduled; opening a file drops it

    // --- The open file --------------------------------------------------------------

    std::int64_t FVideoFrames = 0;  // dropped frames included
    std::int64_t FAudioSamples = 0; // inserted silence included
    std::int64_t FAudioIndexSamples = 0; // samples since the last audio index flush

    WriterLock& FFilterLock;

private:
    std::int64_t FFilePos = 0; // bytes written so far, the offset of the next write
    std::vector<TRiffRecord> FRiffs;

    // The file's own operations, in the order a file is built.
    DWORD WriteRIFF(const void* buffer, std::size_t count);
    DWORD AddAVIChunk();
    DWORD WriteRIFFHeader(int index);
    void InitVideoIndex();
    void InitAudioIndex();
    void FlushVideoIndex();
    void FlushAudioIndex();

    // Header building.
    std::uint32_t HeaderListSize() const;
    void UpdateAVIHeaders();
    void UpdateMoviSize(TRiffRecord& riff);
    void UpdateVideoStreamList();
    void UpdateAudioStreamList();
    void FillMainHeader();
    void FillVideoStreamHeader();
    void FillAudioStreamHeader();
    void FillBitmapInfoHeader();
    void FillDVInfo();
    void FillAudioFormat();
    void FillVideoSuperIndexHeader();
    void FillAudioSuperIndexHeader();
    void FillExtHeader();

    std::unique_ptr<th::riff::File> FFile; // never null
    bool FFinalizing = false;       // CloseFile rewrites headers: writes advance nothing
    std::vector<std::uint8_t> FVideoIndex;
    std::vector<std::uint8_t> FAudioIndex;

    struct HeaderLocations {
        bool Audio = false; // the file is laid out for type-2 DV
        std::size_t Hdrl = 0, Avih = 0;
        std::size_t VideoStrl = 0, VideoStrh = 0, VideoStrf = 0, VideoIndx = 0;
        std::size_t AudioStrl = 0, AudioStrh = 0, AudioStrf = 0, AudioIndx = 0;
        std::size_t Odml = 0, Dmlh = 0;
    };

    struct IndexSnapshot; // the index state before the indexes are written at close
    // A standard index written while it may still be lost behind the queue.
    struct PendingFlush {
        bool Video = false;
        std::int64_t End = 0;          // of its chunk in the file
        std::uint32_t SuperEntries = 0; // of its super index before it
        std::vector<std::uint8_t> Index; // as it went out
        std::int64_t IndexedEnd = 0;
        std::int64_t AudioIndexSamples = 0;
    };

    class FileCloser;

    std::uint8_t* headerAt(std::size_t chunkPos, std::size_t offsetInData);
    DWORD beginFile(bool waitForHeader);
    // Moves the open file with everything that describes it to `to`, which
    // then owns it; this writer has no file open after it.
    void moveFileTo(OpenDmlFileWriter& to);
    void newFile();
    // Takes up a movie write that failed in a file the closer finished.
    void noteClosedFailure();
    DWORD noteError(DWORD code);
    bool flushIndexesAtClose();
    void cutTo(std::int64_t pos);
    // A write behind failed: the file's data ends at `end`, and what the
    // writer had put after it is taken back, so that headers and indexes
    // describe only what the disk holds.
    void takeBackAfter(std::int64_t end);
    class HeldIndexes;
    // Cuts the file at the header of a chunk taken back; false when it may not be cut there.
    bool cutChunkAt(std::int64_t pos);
    std::uint32_t strlSize(std::uint32_t formatSize) const;
    std::uint32_t superIndexDataSize() const;
    std::uint32_t indexChunkSize() const;
    void initIndex(std::vector<std::uint8_t>& index, std::uint32_t chunkId, std::uint32_t indexId);
    void addIndexEntry(std::vector<std::uint8_t>& index, std::uint32_t offset, std::uint32_t size);
    bool flushIndex(std::vector<std::uint8_t>& index, std::size_t indxPos, std::uint32_t duration,
                    bool& closed);
    void fillSuperIndexHeader(std::size_t indxPos, std::uint32_t chunkId);

    OpenDmlLimits FLimits;
    HeaderLocations FLoc;
    // A stream whose super index is full is no longer indexed.
    bool FVideoIndexClosed = false;
    bool FAudioIndexClosed = false;
    std::int64_t FPatchPos = 0; // the file pointer while finalizing
    HRESULT FWriteError = S_OK;
    std::int64_t FRunFrames = 0;
    std::string FWriteErrorText;
    DWORD FFileFailed = 0;       // a movie write into this file failed with this code
    DWORD FRunFailed = 0;        // ... into any file since ResetWriteStatus
    bool FClosing = false;       // the indexes go out even after a failure
    std::int64_t FIndexedEnd = 0; // end of the last standard index on disk: no cut before it
    std::vector<PendingFlush> FPendingFlushes;
    std::string FFileName; // UTF-8 path of the current output file
    std::shared_ptr<th::riff::QueueBudget> FBudget;
    std::unique_ptr<FileCloser> FCloser; // started at the first switch
};
