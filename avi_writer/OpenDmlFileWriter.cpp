#include "avi_writer/OpenDmlFileWriter.h"

#include "platform/riff/OpenDmlIndex.h"
#include "platform/riff/OpenDmlTakeBack.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <pthread.h>
#include <thread>
#include <utility>

using th::riff::FourCC;
using th::riff::Get32;
using th::riff::Get64;
using th::riff::Put16;
using th::riff::Put32;
using th::riff::Put64;

namespace {

using Guard = std::lock_guard<WriterLock>;

constexpr std::uint32_t kAvifTrustCkType = 0x00000800; // AVIF_TRUSTCKTYPE
constexpr std::uint32_t kOdmlListSize = 4 + 8 + OpenDmlFileWriter::kExtHeaderSize; // 260

} // namespace

// Finishes the files the writer has moved on from, one after the other, on a
// thread of its own; it never takes the writer's lock, so that the writer may
// wait for it holding that lock.
class OpenDmlFileWriter::FileCloser {
public:
    // A file on its way out, with a writer and a lock of its own.
    struct Closing {
        explicit Closing(OpenDmlLimits limits) : Writer(Lock, limits) {}
        StdWriterLock Lock;
        OpenDmlFileWriter Writer;
    };
    // What the files closed since the last Reset left.
    struct Status {
        HRESULT Error = S_OK;
        std::string Text;
        DWORD RunFailed = 0; // a movie write failed with this code
        std::int64_t Frames = 0;
    };

    FileCloser() : thread_([this] { run(); }) {}
    ~FileCloser()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    void Add(std::unique_ptr<Closing> file)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            files_.push_back(std::move(file));
        }
        changed_.notify_all();
    }
    // Waits until every file handed in is closed.
    void Drain()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return files_.empty() && !busy_; });
    }
    // Whether a file handed in and not yet closed is named `path`.
    bool Holds(const std::string& path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (busy_ && closingName_ == path)
            return true;
        for (const auto& f : files_)
            if (f->Writer.FFileName == path)
                return true;
        return false;
    }
    bool Failed() const { return failed_.load(std::memory_order_acquire); }
    Status Get() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }
    void Reset()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = {};
        failed_ = false;
    }

private:
    void run()
    {
        pthread_setname_np(pthread_self(), "thmux-close");
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return quit_ || !files_.empty(); });
            if (files_.empty())
                return;
            std::unique_ptr<Closing> file = std::move(files_.front());
            files_.pop_front();
            busy_ = true;
            closingName_ = file->Writer.FFileName;
            lock.unlock();
            OpenDmlFileWriter& w = file->Writer;
            w.CloseFile();
            Status done{w.FWriteError, w.FWriteErrorText, w.FRunFailed, w.FRunFrames};
            file.reset(); // the file's queue thread and memory go
            lock.lock();
            if (status_.Error == S_OK && FAILED(done.Error)) {
                status_.Error = done.Error;
                status_.Text = std::move(done.Text);
            }
            if (status_.RunFailed == 0)
                status_.RunFailed = done.RunFailed;
            status_.Frames += done.Frames;
            if (FAILED(status_.Error) || status_.RunFailed != 0)
                failed_.store(true, std::memory_order_release);
            busy_ = false;
            closingName_.clear();
            changed_.notify_all();
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Closing>> files_;
    bool busy_ = false;
    bool quit_ = false;
    std::string closingName_;
    Status status_;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

// The standard indexes in memory as the shared take-back rules see them:
// stream 0 video, 1 audio (no entries in a type-1 file).
class OpenDmlFileWriter::HeldIndexes final : public th::riff::odml::HeldEntries {
public:
    explicit HeldIndexes(OpenDmlFileWriter& w) : w_(w) {}

    std::size_t streams() const override { return 2; }
    std::uint32_t entryCount(std::size_t s) const override
    {
        const std::vector<std::uint8_t>& ix = index(s);
        return ix.empty() ? 0 : th::riff::odml::EntriesInUse(ix.data() + 8);
    }
    // A dropped frame has no chunk: its entry alone counts it.
    std::int64_t chunkPos(std::size_t s, std::uint32_t i) const override
    {
        const std::uint8_t* e = entry(s, i);
        if (Get32(e + 4) == kDroppedFrameSize)
            return -1;
        return static_cast<std::int64_t>(Get64(index(s).data() + 20) + Get32(e)) - 8;
    }
    std::int64_t chunkEnd(std::size_t s, std::uint32_t i) const override
    {
        return chunkPos(s, i) + 8 + (Get32(entry(s, i) + 4) & ~th::riff::odml::kNotKeyFrame);
    }
    bool isLostFrame(std::size_t s, std::uint32_t i) const override
    {
        return Get32(entry(s, i) + 4) == kDroppedFrameSize;
    }
    void dropLast(std::size_t s) override
    {
        std::vector<std::uint8_t>& ix = index(s);
        const std::uint32_t n = entryCount(s) - 1;
        std::uint8_t* e = ix.data() + kIndexHeaderSize + n * kIndexEntrySize;
        const std::uint16_t align = w_.WaveBlockAlign();
        if (s == 0) {
            --w_.FVideoFrames;
        } else if (align > 0) {
            const std::int64_t samples = Get32(e + 4) / align;
            w_.FAudioSamples -= samples;
            w_.FAudioIndexSamples -= samples;
        }
        Put32(e, 0);
        Put32(e + 4, 0);
        th::riff::odml::SetEntriesInUse(ix.data() + 8, n);
    }
    void dropAll(std::size_t s)
    {
        while (entryCount(s) > 0)
            dropLast(s);
    }

private:
    std::vector<std::uint8_t>& index(std::size_t s) { return s == 0 ? w_.FVideoIndex : w_.FAudioIndex; }
    const std::vector<std::uint8_t>& index(std::size_t s) const { return s == 0 ? w_.FVideoIndex : w_.FAudioIndex; }
    const std::uint8_t* entry(std::size_t s, std::uint32_t i) const
    {
        return index(s).data() + kIndexHeaderSize + i * kIndexEntrySize;
    }

    OpenDmlFileWriter& w_;
};

OpenDmlFileWriter::OpenDmlFileWriter(WriterLock& lock, OpenDmlLimits limits)
    : FFilterLock(lock), FLimits(limits),
      FBudget(std::make_shared<th::riff::QueueBudget>(th::riff::File::kQueueBytes))
{
    newFile();
}

OpenDmlFileWriter::~OpenDmlFileWriter()
{
    CloseFile();
}

void OpenDmlFileWriter::newFile()
{
    FFile = std::make_unique<th::riff::File>();
    FFile->ShareBudget(FBudget);
}

// --- Sizes ------------------------------------------------------------------------

std::uint32_t OpenDmlFileWriter::superIndexDataSize() const
{
    return kSuperIndexHeaderSize + FLimits.SuperIndexEntries * kSuperIndexEntrySize;
}

std::uint32_t OpenDmlFileWriter::indexChunkSize() const
{
    return kIndexHeaderSize + FLimits.IndexEntries * kIndexEntrySize;
}

std::uint32_t OpenDmlFileWriter::strlSize(std::uint32_t formatSize) const
{
    return 4 + (8 + kStreamHeaderSize) + (8 + formatSize) + (8 + superIndexDataSize());
}

std::uint32_t OpenDmlFileWriter::HeaderListSize() const
{
    // The layout of an open file stays that of its first header; a file yet to
    // be opened takes the layout of the recorded type.
    const bool audio = FRiffs.empty() ? FDVType == 2 : FLoc.Audio;
    std::uint32_t size = 4 + (8 + kMainHeaderSize);
    size += 8 + strlSize(audio ? kBitmapInfoSize : kDVInfoSize);
    if (audio)
        size += 8 + strlSize(kWaveFormatSize);
    return size + 8 + kOdmlListSize;
}

std::uint32_t OpenDmlFileWriter::WaveSamplesPerSec() const { return Get32(FWaveFormat + 4); }
std::uint32_t OpenDmlFileWriter::WaveAvgBytesPerSec() const { return Get32(FWaveFormat + 8); }
std::uint16_t OpenDmlFileWriter::WaveBlockAlign() const { return th::riff::Get16(FWaveFormat + 12); }

std::uint32_t OpenDmlFileWriter::VideoChunkId() const
{
    return FDVType == 2 ? FourCC("00db") : FourCC("00__");
}

std::uint8_t* OpenDmlFileWriter::headerAt(std::size_t chunkPos, std::size_t offsetInData)
{
    return FRiffs.front().Header.data() + chunkPos + 8 + offsetInData;
}

// --- Opening and closing ---------------------------------------------------------------

void OpenDmlFileWriter::SetNextFileName(std::string name)
{
    Guard lock(FFilterLock);
    FFileName = std::move(name);
}

DWORD OpenDmlFileWriter::OpenFile()
{
    return beginFile(true);
}

DWORD OpenDmlFileWriter::SwitchFile(const std::string& name)
{
    Guard lock(FFilterLock);
    if (FFile->IsOpen() && name == FFileName) {
        CloseFile();
    } else if (FFile->IsOpen()) {
        auto closing = std::make_unique<FileCloser::Closing>(FLimits);
        moveFileTo(closing->Writer);
        if (!FCloser)
            FCloser = std::make_unique<FileCloser>();
        FCloser->Add(std::move(closing));
    }
    // A file of that name still being closed must be gone before it is made anew.
    if (FCloser && FCloser->Holds(name))
        FCloser->Drain();
    FFileName = name;
    return beginFile(false);
}

void OpenDmlFileWriter::moveFileTo(OpenDmlFileWriter& to)
{
    to.FDVType = FDVType;
    to.FFrameDuration = FFrameDuration;
    to.FMicroSecPerFrame = FMicroSecPerFrame;
    to.FStreamCount = FStreamCount;
    to.FWidth = FWidth;
    to.FHeight = FHeight;
    to.FVideoFccType = FVideoFccType;
    to.FVideoScale = FVideoScale;
    to.FVideoRate = FVideoRate;
    std::memcpy(to.FBitmapInfo, FBitmapInfo, sizeof FBitmapInfo);
    std::memcpy(to.FDVInfo, FDVInfo, sizeof FDVInfo);
    std::memcpy(to.FWaveFormat, FWaveFormat, sizeof FWaveFormat);
    to.FFileName = FFileName;
    to.FFile = std::move(FFile);
    newFile();
    to.FFilePos = std::exchange(FFilePos, 0);
    to.FFinalizing = std::exchange(FFinalizing, false);
    to.FVideoFrames = std::exchange(FVideoFrames, 0);
    to.FAudioSamples = std::exchange(FAudioSamples, 0);
    to.FAudioIndexSamples = std::exchange(FAudioIndexSamples, 0);
    to.FRiffs = std::exchange(FRiffs, {});
    to.FVideoIndex = std::exchange(FVideoIndex, {});
    to.FAudioIndex = std::exchange(FAudioIndex, {});
    to.FLoc = std::exchange(FLoc, {});
    to.FVideoIndexClosed = std::exchange(FVideoIndexClosed, false);
    to.FAudioIndexClosed = std::exchange(FAudioIndexClosed, false);
    to.FPatchPos = std::exchange(FPatchPos, 0);
    to.FFileFailed = std::exchange(FFileFailed, 0);
    to.FRunFailed = to.FFileFailed;
    to.FClosing = std::exchange(FClosing, false);
    to.FIndexedEnd = std::exchange(FIndexedEnd, 0);
    to.FPendingFlushes = std::exchange(FPendingFlushes, {});
}

void OpenDmlFileWriter::noteClosedFailure()
{
    if (!FCloser || !FCloser->Failed())
        return;
    const FileCloser::Status s = FCloser->Get();
    if (FWriteError == S_OK && FAILED(s.Error)) {
        FWriteError = s.Error;
        FWriteErrorText = s.Text;
    }
    // The disk lost what an earlier file held: this run writes nothing more.
    if (s.RunFailed != 0 && FRunFailed == 0) {
        FRunFailed = s.RunFailed;
        if (FFile->IsOpen() && !FClosing)
            FFileFailed = s.RunFailed;
    }
}

HRESULT OpenDmlFileWriter::WriteError() const
{
    if (FWriteError != S_OK || !FCloser)
        return FWriteError;
    return FCloser->Get().Error;
}

std::string OpenDmlFileWriter::WriteErrorText() const
{
    if (FWriteError != S_OK || !FCloser)
        return FWriteErrorText;
    return FCloser->Get().Text;
}

std::int64_t OpenDmlFileWriter::FramesWritten() const
{
    return FRunFrames + (FCloser ? FCloser->Get().Frames : 0) + (FFile->IsOpen() ? FVideoFrames : 0);
}

DWORD OpenDmlFileWriter::beginFile(bool waitForHeader)
{
    Guard lock(FFilterLock);
    noteClosedFailure();
    if (FFile->IsOpen())
        return 0;
    if (FFileName.empty()) {
        if (FWriteError == S_OK) {
            FWriteError = HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_INVALID_NAME));
            FWriteErrorText = "no file name was given";
        }
        return static_cast<DWORD>(ERROR_INVALID_NAME);
    }
    // After a failed write the run writes nothing more, not even a new file.
    if (FRunFailed != 0)
        return FRunFailed;
    FFileFailed = 0;
    FIndexedEnd = 0;
    if (const DWORD r = FFile->Create(FFileName))
        return noteError(r);
    // A first header that cannot be written would leave the movie data where
    // the header belongs: the file is then not opened at all.
    // The first header reaches the disk before the file counts as open.
    DWORD r = AddAVIChunk();
    if (r == 0 && waitForHeader)
        r = FFile->Flush();
    if (r != 0) {
        FFile->Close();
        FRiffs.clear();
        FVideoIndex.clear();
        FAudioIndex.clear();
        FFilePos = 0;
        // A file without its header is no AVI file.
        std::remove(FFileName.c_str());
        return noteError(r);
    }
    FPendingFlushes.clear();
    FChangePending = false;
    return 0;
}

DWORD OpenDmlFileWriter::AddAVIChunk()
{
    Guard lock(FFilterLock);
    TRiffRecord rec;
    rec.StartPos = FFilePos;
    th::riff::MemorySink header;
    th::riff::ChunkWriter w(header, th::riff::Padding::None);
    const bool first = FRiffs.empty();
    if (first) {
        FLoc = {};
        FLoc.Audio = FDVType == 2;
        rec.RiffPos = static_cast<std::size_t>(w.BeginList(FourCC("RIFF"), FourCC("AVI ")));
        FLoc.Hdrl = static_cast<std::size_t>(w.BeginList(FourCC("LIST"), FourCC("hdrl")));
        FLoc.Avih = static_cast<std::size_t>(w.BeginChunk(FourCC("avih")));
        w.PutZeros(kMainHeaderSize);
        w.EndChunk();

        FLoc.VideoStrl = static_cast<std::size_t>(w.BeginList(FourCC("LIST"), FourCC("strl")));
        FLoc.VideoStrh = static_cast<std::size_t>(w.BeginChunk(FourCC("strh")));
        w.PutZeros(kStreamHeaderSize);
        w.EndChunk();
        FLoc.VideoStrf = static_cast<std::size_t>(w.BeginChunk(FourCC("strf")));
        w.PutZeros(FLoc.Audio ? kBitmapInfoSize : kDVInfoSize);
        w.EndChunk();
        FLoc.VideoIndx = static_cast<std::size_t>(w.BeginChunk(FourCC("indx")));
        w.PutZeros(superIndexDataSize());
        w.EndChunk();
        w.EndChunk(); // video strl

        if (FLoc.Audio) {
            FLoc.AudioStrl = static_cast<std::size_t>(w.BeginList(FourCC("LIST"), FourCC("strl")));
            FLoc.AudioStrh = static_cast<std::size_t>(w.BeginChunk(FourCC("strh")));
            w.PutZeros(kStreamHeaderSize);
            w.EndChunk();
            FLoc.AudioStrf = static_cast<std::size_t>(w.BeginChunk(FourCC("strf")));
            w.PutZeros(kWaveFormatSize);
            w.EndChunk();
            FLoc.AudioIndx = static_cast<std::size_t>(w.BeginChunk(FourCC("indx")));
            w.PutZeros(superIndexDataSize());
            w.EndChunk();
            w.EndChunk(); // audio strl
        }

        FLoc.Odml = static_cast<std::size_t>(w.BeginList(FourCC("LIST"), FourCC("odml")));
        FLoc.Dmlh = static_cast<std::size_t>(w.BeginChunk(FourCC("dmlh")));
        w.PutZeros(kExtHeaderSize);
        w.EndChunk();
        w.EndChunk(); // odml
        w.EndChunk(); // hdrl
    } else {
        rec.RiffPos = static_cast<std::size_t>(w.BeginList(FourCC("RIFF"), FourCC("AVIX")));
    }
    // The RIFF and its movi list stay open: WriteRIFFHeader gives their sizes.
    rec.MoviPos = static_cast<std::size_t>(w.BeginList(FourCC("LIST"), FourCC("movi")));
    rec.Header = header.Take();
    rec.HeaderSize = static_cast<std::uint32_t>(rec.Header.size());
    FRiffs.push_back(std::move(rec));

    if (first) {
        FillMainHeader();
        FillVideoStreamHeader();
        if (FLoc.Audio)
            FillBitmapInfoHeader();
        else
            FillDVInfo();
        FillVideoSuperIndexHeader();
        if (FLoc.Audio) {
            FillAudioStreamHeader();
            FillAudioFormat();
            FillAudioSuperIndexHeader();
        }
        FillExtHeader();
        InitVideoIndex();
        if (FLoc.Audio)
            InitAudioIndex();
        else
            FAudioIndex.clear();
        FVideoIndexClosed = false;
        FAudioIndexClosed = false;
    }

    FFinalizing = false;
    const DWORD r = WriteRIFFHeader(static_cast<int>(FRiffs.size()) - 1);
    if (r != 0 && !first && FRiffs.size() > 1 && FRiffs.back().StartPos >= FFilePos) {
        // Without its header on disk the RIFF does not exist; the chunk that
        // wanted it is refused and the next one tries again.
        FRiffs.pop_back();
    }
    return r;
}

DWORD OpenDmlFileWriter::WriteRIFFHeader(int index)
{
    Guard lock(FFilterLock);
    if (index < 0 || index >= static_cast<int>(FRiffs.size()))
        return 0;
    TRiffRecord& rec = FRiffs[static_cast<std::size_t>(index)];
    // RIFF size; a RIFF just begun has RiffBytes 0, so 0xFFFFFFF8 until closed.
    Put32(rec.Header.data() + rec.RiffPos + 4, rec.RiffBytes - 8);
    if (index == 0)
        UpdateAVIHeaders();
    UpdateMoviSize(rec);
    return WriteRIFF(rec.Header.data(), rec.HeaderSize);
}

HRESULT OpenDmlFileWriter::CloseFile()
{
    Guard lock(FFilterLock);
    // The files handed on before this one are finished first, in order.
    if (FCloser) {
        FCloser->Drain();
        noteClosedFailure();
    }
    if (!FFile->IsOpen())
        return FWriteError;
    // What is still queued reaches the disk first.
    Flush();
    if (FFilePos < FRiffs.front().StartPos + FRiffs.front().HeaderSize) {
        // The first header of a file opened without waiting for it never
        // reached the disk: without it the file is no AVI file.
        FFile->Close();
        std::remove(FFileName.c_str());
        FRiffs.clear();
        FVideoIndex.clear();
        FAudioIndex.clear();
        FVideoFrames = FAudioSamples = FAudioIndexSamples = 0;
        FFilePos = 0;
        FFileFailed = 0;
        FPendingFlushes.clear();
        return FWriteError;
    }
    FClosing = true;
    HeldIndexes held(*this);
    th::riff::odml::cutUntilIndexesFit(
        held, [this] { return flushIndexesAtClose(); }, [this](std::int64_t pos) { return cutChunkAt(pos); });
    FFinalizing = true;
    for (std::size_t i = 0; i < FRiffs.size(); ++i) {
        FPatchPos = FRiffs[i].StartPos;
        WriteRIFFHeader(static_cast<int>(i));
    }
    FRiffs.clear();
    FVideoIndex.clear();
    FAudioIndex.clear();
    FRunFrames += FVideoFrames;
    FVideoFrames = 0;
    FAudioSamples = 0;
    FAudioIndexSamples = 0;
    FFilePos = 0;
    FFinalizing = false;
    FClosing = false;
    FFileFailed = 0;
    FPendingFlushes.clear();
    if (const DWORD r = FFile->Close())
        noteError(r);
    return FWriteError;
}

DWORD OpenDmlFileWriter::Flush()
{
    Guard lock(FFilterLock);
    if (!FFile->IsOpen())
        return 0;
    const DWORD r = FFile->Flush();
    if (r != 0) {
        takeBackAfter(FFile->Position());
        FFileFailed = FRunFailed = r;
        noteError(r);
    }
    return r;
}

void OpenDmlFileWriter::ResetWriteStatus()
{
    Guard lock(FFilterLock);
    if (FCloser) {
        FCloser->Drain();
        FCloser->Reset();
    }
    FWriteError = S_OK;
    FWriteErrorText.clear();
    FRunFrames = 0;
    FRunFailed = 0;
}

DWORD OpenDmlFileWriter::noteError(DWORD code)
{
    // A failure in a file being closed came before this one.
    noteClosedFailure();
    if (code != 0 && FWriteError == S_OK) {
        FWriteError = HRESULT_FROM_WIN32(code);
        FWriteErrorText = FFile->FirstErrorText();
        if (FWriteErrorText.empty())
            FWriteErrorText = "writing " + FFileName + ": error " + std::to_string(code);
    }
    return code;
}

// What the indexes written at close change, so that a try that did not fit
// can be taken back whole.
struct OpenDmlFileWriter::IndexSnapshot {
    std::int64_t Pos = 0;
    std::int64_t IndexedEnd = 0;
    std::vector<std::uint8_t> Video, Audio;
    std::uint32_t VideoSuper = 0, AudioSuper = 0;
    std::int64_t AudioIndexSamples = 0;
    bool VideoClosed = false, AudioClosed = false;
};

bool OpenDmlFileWriter::flushIndexesAtClose()
{
    IndexSnapshot before{FFilePos, FIndexedEnd, FVideoIndex, FAudioIndex, VideoSuperIndexEntries(),
                         AudioSuperIndexEntries(), FAudioIndexSamples, FVideoIndexClosed, FAudioIndexClosed};
    if (VideoIndexEntries() > 0)
        FlushVideoIndex();
    if (AudioIndexEntries() > 0)
        FlushAudioIndex();
    // A full super index leaves its entries in memory on purpose.
    const bool pending =
        (VideoIndexEntries() > 0 && !FVideoIndexClosed) || (AudioIndexEntries() > 0 && !FAudioIndexClosed);
    if (!pending || FRiffs.empty())
        return true;
    // Take back an index that did fit: the next try writes both after the cut.
    cutTo(before.Pos);
    FIndexedEnd = before.IndexedEnd;
    FVideoIndex = std::move(before.Video);
    FAudioIndex = std::move(before.Audio);
    FAudioIndexSamples = before.AudioIndexSamples;
    FVideoIndexClosed = before.VideoClosed;
    FAudioIndexClosed = before.AudioClosed;
    Put32(headerAt(FLoc.VideoIndx, 4), before.VideoSuper);
    if (FLoc.Audio)
        Put32(headerAt(FLoc.AudioIndx, 4), before.AudioSuper);
    return false;
}

// The file ends at pos from now on; the RIFFs that began behind it go.
void OpenDmlFileWriter::cutTo(std::int64_t pos)
{
    if (pos >= FFilePos || FFile->CutAt(pos) != 0)
        return;
    FFilePos = pos;
    while (FRiffs.size() > 1 && FRiffs.back().StartPos >= pos)
        FRiffs.pop_back();
    TRiffRecord& last = FRiffs.back();
    last.RiffBytes = static_cast<std::uint32_t>(pos - last.StartPos);
    last.MoviBytes = last.RiffBytes - last.HeaderSize;
}

void OpenDmlFileWriter::takeBackAfter(std::int64_t end)
{
    if (end >= FFilePos || FRiffs.empty())
        return;
    // Standard indexes that went out after the end come back into memory,
    // newest first; the entries gathered since each stood after it.
    HeldIndexes held(*this);
    while (!FPendingFlushes.empty() && FPendingFlushes.back().End > end) {
        PendingFlush& f = FPendingFlushes.back();
        held.dropAll(f.Video ? 0 : 1);
        (f.Video ? FVideoIndex : FAudioIndex) = std::move(f.Index);
        Put32(headerAt(f.Video ? FLoc.VideoIndx : FLoc.AudioIndx, 4), f.SuperEntries);
        FIndexedEnd = f.IndexedEnd;
        if (!f.Video)
            FAudioIndexSamples = f.AudioIndexSamples;
        FPendingFlushes.pop_back();
    }
    // The file is already cut at `end`: only the entries go.
    th::riff::odml::takeBackAfter(held, end, {});
    while (FRiffs.size() > 1 && FRiffs.back().StartPos >= end)
        FRiffs.pop_back();
    TRiffRecord& last = FRiffs.back();
    last.RiffBytes = static_cast<std::uint32_t>(end - last.StartPos);
    last.MoviBytes = last.RiffBytes - last.HeaderSize;
    FFilePos = end;
}

bool OpenDmlFileWriter::cutChunkAt(std::int64_t pos)
{
    // No cut reaches a standard index on the disk or the first header.
    if (pos < FIndexedEnd || FRiffs.empty() || pos < FRiffs.front().StartPos + FRiffs.front().HeaderSize)
        return false;
    const std::int64_t oldPos = FFilePos;
    cutTo(pos);
    return FFilePos != oldPos;
}

// --- Writing ----------------------------------------------------------------------------

DWORD OpenDmlFileWriter::Write(const void* buffer, std::size_t count, std::size_t* written)
{
    Guard lock(FFilterLock);
    *written = 0;
    if (!FFile->IsOpen())
        return static_cast<DWORD>(S_FALSE);
    const DWORD r = FFinalizing ? FFile->Patch(FPatchPos, buffer, count) : FFile->Append(buffer, count);
    if (r != 0) {
        if (!FFinalizing && FFile->Position() < FFilePos)
            takeBackAfter(FFile->Position());
        return noteError(r);
    }
    *written = count;
    if (FFinalizing)
        FPatchPos += static_cast<std::int64_t>(count);
    else
        FFilePos += static_cast<std::int64_t>(count);
    return 0;
}

DWORD OpenDmlFileWriter::WriteRIFF(const void* buffer, std::size_t count)
{
    std::size_t written = 0;
    const DWORD r = Write(buffer, count, &written);
    if (r == 0 && !FFinalizing)
        FRiffs.back().RiffBytes += static_cast<std::uint32_t>(written);
    return r;
}

DWORD OpenDmlFileWriter::WriteMovie(const void* buffer, std::size_t count)
{
    Guard lock(FFilterLock);
    if (!FFile->IsOpen() || FRiffs.empty())
        return static_cast<DWORD>(S_FALSE);
    noteClosedFailure();
    // Behind a failed write the disk is full or gone: what follows would only
    // leave holes in the streams.
    if (FFileFailed != 0 && !FClosing)
        return FFileFailed;
    if (static_cast<std::uint64_t>(FRiffs.back().RiffBytes) + count >= FLimits.RiffLimit) {
        if (const DWORD r = AddAVIChunk()) {
            if (!FClosing)
                FFileFailed = FRunFailed = r;
            return r;
        }
    }
    std::size_t written = 0;
    const DWORD r = Write(buffer, count, &written);
    if (r == 0) {
        FRiffs.back().RiffBytes += static_cast<std::uint32_t>(written);
        FRiffs.back().MoviBytes += static_cast<std::uint32_t>(written);
    } else if (!FClosing) {
        FFileFailed = FRunFailed = r;
    }
    return r;
}

// --- Indexes ----------------------------------------------------------------------------

void OpenDmlFileWriter::initIndex(std::vector<std::uint8_t>& index, std::uint32_t chunkId,
                                  std::uint32_t indexId)
{
    // The chunk is always full size: the entries not in use stay zero.
    index.assign(indexChunkSize(), 0);
    Put32(index.data(), indexId);
    Put32(index.data() + 4, indexChunkSize() - 8);
    th::riff::odml::PutStandardIndexHeader(index.data() + 8, chunkId, 0,
                                           static_cast<std::uint64_t>(FRiffs.back().StartPos));
}

void OpenDmlFileWriter::InitVideoIndex()
{
    Guard lock(FFilterLock);
    if (FRiffs.empty())
        return;
    initIndex(FVideoIndex, FLoc.Audio ? FourCC("00db") : FourCC("00__"), FourCC("ix00"));
}

void OpenDmlFileWriter::InitAudioIndex()
{
    Guard lock(FFilterLock);
    if (FRiffs.empty())
        return;
    initIndex(FAudioIndex, FourCC("01wb"), FourCC("ix01"));
}

std::uint32_t OpenDmlFileWriter::VideoIndexEntries() const
{
    return FVideoIndex.empty() ? 0 : Get32(FVideoIndex.data() + 12);
}

std::uint32_t OpenDmlFileWriter::AudioIndexEntries() const
{
    return FAudioIndex.empty() ? 0 : Get32(FAudioIndex.data() + 12);
}

std::uint32_t OpenDmlFileWriter::VideoSuperIndexEntries() const
{
    return FRiffs.empty() ? 0 : Get32(FRiffs.front().Header.data() + FLoc.VideoIndx + 8 + 4);
}

std::uint32_t OpenDmlFileWriter::AudioSuperIndexEntries() const
{
    return FRiffs.empty() || !FLoc.Audio ? 0 : Get32(FRiffs.front().Header.data() + FLoc.AudioIndx + 8 + 4);
}

void OpenDmlFileWriter::addIndexEntry(std::vector<std::uint8_t>& index, std::uint32_t offset,
                                      std::uint32_t size)
{
    std::uint8_t* ix = index.data() + 8;
    const std::uint32_t n = th::riff::odml::EntriesInUse(ix);
    if (n >= FLimits.IndexEntries)
        return; // full after a failed flush that could not be retried
    th::riff::odml::PutStandardIndexEntry(ix, n, offset, size);
    th::riff::odml::SetEntriesInUse(ix, n + 1);
}

void OpenDmlFileWriter::AddVideoIndexEntry(std::uint32_t size)
{
    Guard lock(FFilterLock);
    if (FRiffs.empty() || FVideoIndex.empty() || FVideoIndexClosed)
        return;
    // The chunk's data lies just behind what was written last.
    const std::int64_t dataPos = FFilePos - size;
    // A standard index still full here failed to go out: it gets another try
    // first (which moves the file position, hence dataPos above).
    if (VideoIndexEntries() >= FLimits.IndexEntries)
        FlushVideoIndex();
    if (FVideoIndexClosed)
        return;
    const std::uint32_t base = Get32(FVideoIndex.data() + 20);
    const std::uint32_t offset = size == 0 ? 0 : static_cast<std::uint32_t>(dataPos) - base;
    addIndexEntry(FVideoIndex, offset, size == 0 ? kDroppedFrameSize : size);
    if (VideoIndexEntries() >= FLimits.IndexEntries)
        FlushVideoIndex();
}

std::int64_t OpenDmlFileWriter::TakeBackDroppedEntries(std::int64_t count)
{
    Guard lock(FFilterLock);
    // Without a cut, only the entries that have no chunk go.
    HeldIndexes held(*this);
    return th::riff::odml::takeBackLast(held, 0, count, {});
}

void OpenDmlFileWriter::AddAudioIndexEntry(std::uint32_t size)
{
    Guard lock(FFilterLock);
    if (FRiffs.empty() || FAudioIndex.empty() || FAudioIndexClosed)
        return;
    const std::int64_t dataPos = FFilePos - size;
    if (AudioIndexEntries() >= FLimits.IndexEntries)
        FlushAudioIndex();
    if (FAudioIndexClosed)
        return;
    const std::uint32_t base = Get32(FAudioIndex.data() + 20);
    addIndexEntry(FAudioIndex, static_cast<std::uint32_t>(dataPos) - base, size);
    if (AudioIndexEntries() >= FLimits.IndexEntries)
        FlushAudioIndex();
}

bool OpenDmlFileWriter::flushIndex(std::vector<std::uint8_t>& index, std::size_t indxPos,
                                   std::uint32_t duration, bool& closed)
{
    std::uint8_t* indx = headerAt(indxPos, 0);
    const std::uint32_t used = Get32(indx + 4);
    if (used >= FLimits.SuperIndexEntries) {
        // The super index cannot point at another standard index: the stream
        // is no longer indexed, and the file stays valid.
        closed = true;
        return false;
    }
    // Until it is on the disk, a write behind may still fail and take it back.
    std::erase_if(FPendingFlushes, [this](const PendingFlush& f) { return f.End <= FFile->Written(); });
    PendingFlush pending{&index == &FVideoIndex, 0, used, index, FIndexedEnd, FAudioIndexSamples};
    if (WriteMovie(index.data(), index.size()) != 0) {
        // A standard index that did not reach the disk must not be pointed at;
        // it stays in memory for another try.
        return false;
    }
    pending.End = FFilePos;
    FPendingFlushes.push_back(std::move(pending));
    th::riff::odml::PutSuperIndexEntry(indx, used,
                                       static_cast<std::uint64_t>(FFilePos - static_cast<std::int64_t>(index.size())),
                                       static_cast<std::uint32_t>(index.size()), duration);
    th::riff::odml::SetEntriesInUse(indx, used + 1);
    FIndexedEnd = FFilePos;
    return true;
}

void OpenDmlFileWriter::FlushVideoIndex()
{
    Guard lock(FFilterLock);
    if (FRiffs.empty() || FVideoIndex.empty() || FVideoIndexClosed)
        return;
    if (flushIndex(FVideoIndex, FLoc.VideoIndx, VideoIndexEntries(), FVideoIndexClosed))
        InitVideoIndex();
}

void OpenDmlFileWriter::FlushAudioIndex()
{
    Guard lock(FFilterLock);
    if (FRiffs.empty() || FAudioIndex.empty() || FAudioIndexClosed)
        return;
    if (flushIndex(FAudioIndex, FLoc.AudioIndx, static_cast<std::uint32_t>(FAudioIndexSamples),
                   FAudioIndexClosed)) {
        FAudioIndexSamples = 0;
        InitAudioIndex();
    }
}

// --- Header fields ----------------------------------------------------------------------

void OpenDmlFileWriter::NoteVideoChunkSize(std::uint32_t bytes)
{
    Guard lock(FFilterLock);
    if (FRiffs.empty())
        return;
    std::uint8_t* strh = headerAt(FLoc.VideoStrh, 36); // dwSuggestedBufferSize
    if (Get32(strh) < bytes) {
        Put32(strh, bytes);
        Put32(headerAt(FLoc.Avih, 28), bytes); // avih dwSuggestedBufferSize
    }
}

void OpenDmlFileWriter::NoteAudioChunkSize(std::uint32_t bytes)
{
    Guard lock(FFilterLock);
    if (FRiffs.empty() || !FLoc.Audio)
        return;
    std::uint8_t* strh = headerAt(FLoc.AudioStrh, 36); // dwSuggestedBufferSize
    if (Get32(strh) < bytes)
        Put32(strh, bytes);
}

void OpenDmlFileWriter::UpdateMoviSize(TRiffRecord& riff)
{
    Put32(riff.Header.data() + riff.MoviPos + 4, riff.MoviBytes + 4); // movi LIST size
}

void OpenDmlFileWriter::UpdateAVIHeaders()
{
    Put32(FRiffs.front().Header.data() + FLoc.Hdrl + 4, HeaderListSize());
    FillMainHeader();
    UpdateVideoStreamList();
    if (FLoc.Audio)
        UpdateAudioStreamList();
    Put32(FRiffs.front().Header.data() + FLoc.Odml + 4, kOdmlListSize);
    FillExtHeader();
}

void OpenDmlFileWriter::UpdateVideoStreamList()
{
    const std::uint32_t format = FLoc.Audio ? kBitmapInfoSize : kDVInfoSize;
    Put32(FRiffs.front().Header.data() + FLoc.VideoStrl + 4, strlSize(format));
    FillVideoStreamHeader();
    Put32(FRiffs.front().Header.data() + FLoc.VideoStrf + 4, format);
    FillVideoSuperIndexHeader();
}

void OpenDmlFileWriter::UpdateAudioStreamList()
{
    Put32(FRiffs.front().Header.data() + FLoc.AudioStrl + 4, strlSize(kWaveFormatSize));
    FillAudioStreamHeader();
    FillAudioFormat();
    Put32(FRiffs.front().Header.data() + FLoc.AudioStrf + 4, kWaveFormatSize);
    FillAudioSuperIndexHeader();
}

void OpenDmlFileWriter::FillMainHeader()
{
    std::uint8_t* h = headerAt(FLoc.Avih, 0);
    Put32(h + 0, FMicroSecPerFrame);                          // dwMicroSecPerFrame
    Put32(h + 4, 0);                                          // dwMaxBytesPerSec
    Put32(h + 8, 0);                                          // dwPaddingGranularity
    Put32(h + 12, kAvifTrustCkType);                          // dwFlags
    Put32(h + 16, static_cast<std::uint32_t>(FVideoFrames)); // dwTotalFrames
    Put32(h + 20, 0);                                         // dwInitialFrames
    Put32(h + 24, FStreamCount);                              // dwStreams
    // h + 28 dwSuggestedBufferSize: kept by NoteVideoChunkSize
    Put32(h + 32, static_cast<std::uint32_t>(FWidth));        // dwWidth
    Put32(h + 36, static_cast<std::uint32_t>(FHeight));       // dwHeight
    std::memset(h + 40, 0, 16);                               // dwReserved[4]
}

void OpenDmlFileWriter::FillVideoStreamHeader()
{
    std::uint8_t* h = headerAt(FLoc.VideoStrh, 0);
    Put32(h + 0, FVideoFccType);                              // fccType
    Put32(h + 4, FourCC("dvsd"));                             // fccHandler
    Put32(h + 8, 0);                                          // dwFlags
    Put16(h + 12, 0);                                         // wPriority
    Put16(h + 14, 0);                                         // wLanguage
    Put32(h + 16, 0);                                         // dwInitialFrames
    Put32(h + 20, FVideoScale);                               // dwScale
    Put32(h + 24, FVideoRate);                                // dwRate
    Put32(h + 28, 0);                                         // dwStart
    Put32(h + 32, static_cast<std::uint32_t>(FVideoFrames)); // dwLength
    // h + 36 dwSuggestedBufferSize: kept by NoteVideoChunkSize
    Put32(h + 40, 0);                                         // dwQuality
    Put32(h + 44, 0);                                         // dwSampleSize
    std::memset(h + 48, 0, 8);                                // rcFrame
}

void OpenDmlFileWriter::FillAudioStreamHeader()
{
    std::uint8_t* h = headerAt(FLoc.AudioStrh, 0);
    Put32(h + 0, FourCC("auds"));                              // fccType
    Put32(h + 4, 0);                                           // fccHandler
    Put32(h + 8, 0);                                           // dwFlags
    Put16(h + 12, 0);                                          // wPriority
    Put16(h + 14, 0);                                          // wLanguage
    Put32(h + 16, 0);                                          // dwInitialFrames
    Put32(h + 20, 1);                                          // dwScale
    Put32(h + 24, WaveSamplesPerSec());                        // dwRate
    Put32(h + 28, 0);                                          // dwStart
    Put32(h + 32, static_cast<std::uint32_t>(FAudioSamples)); // dwLength
    // h + 36 dwSuggestedBufferSize: kept by NoteAudioChunkSize
    Put32(h + 40, 0);                                          // dwQuality
    Put32(h + 44, WaveBlockAlign());                           // dwSampleSize
    std::memset(h + 48, 0, 8);                                 // rcFrame
}

void OpenDmlFileWriter::FillBitmapInfoHeader()
{
    std::memcpy(headerAt(FLoc.VideoStrf, 0), FBitmapInfo, kBitmapInfoSize);
}

void OpenDmlFileWriter::FillDVInfo()
{
    std::memcpy(headerAt(FLoc.VideoStrf, 0), FDVInfo, kDVInfoSize);
}

void OpenDmlFileWriter::FillAudioFormat()
{
    std::memcpy(headerAt(FLoc.AudioStrf, 0), FWaveFormat, kWaveFormatSize);
}

void OpenDmlFileWriter::fillSuperIndexHeader(std::size_t indxPos, std::uint32_t chunkId)
{
    // nEntriesInUse is counted by the flushes.
    th::riff::odml::PutSuperIndexHeader(headerAt(indxPos, 0), chunkId);
}

void OpenDmlFileWriter::FillVideoSuperIndexHeader()
{
    fillSuperIndexHeader(FLoc.VideoIndx, FLoc.Audio ? FourCC("00db") : FourCC("00__"));
}

void OpenDmlFileWriter::FillAudioSuperIndexHeader()
{
    fillSuperIndexHeader(FLoc.AudioIndx, FourCC("01wb"));
}

void OpenDmlFileWriter::FillExtHeader()
{
    std::uint8_t* h = headerAt(FLoc.Dmlh, 0);
    Put32(h, static_cast<std::uint32_t>(FVideoFrames)); // dwGrandFrames
    std::memset(h + 4, 0, kExtHeaderSize - 4);
}
