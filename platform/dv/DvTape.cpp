#include "platform/dv/DvTape.h"

#include "platform/dv/DifFrame.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace th::dv {

namespace {

constexpr int kPacksPerVaux = 15;

// The four data bytes of a pack as a DVINFO word: PC1 in the low byte.
DWORD packWord(const std::uint8_t* p)
{
    return DWORD(p[1]) | DWORD(p[2]) << 8 | DWORD(p[3]) << 16 | DWORD(p[4]) << 24;
}

DWORD findAauxPack(const std::uint8_t* frame, dif::System system, int seq, std::uint8_t id)
{
    for (int b = 0; b < dif::kAudioBlocks; ++b) {
        const std::uint8_t* block = frame + dif::blockOffset(system, seq, dif::Section::Audio, b);
        if (block[3] == id)
            return packWord(block + 3);
    }
    return 0xFFFFFFFFu;
}

DWORD findVauxPack(const std::uint8_t* frame, dif::System system, int seq, std::uint8_t id)
{
    for (int b = 0; b < dif::kVauxBlocks; ++b) {
        const std::uint8_t* block = frame + dif::blockOffset(system, seq, dif::Section::Vaux, b);
        for (int k = 0; k < kPacksPerVaux; ++k)
            if (block[3 + 5 * k] == id)
                return packWord(block + 3 + 5 * k);
    }
    return 0xFFFFFFFFu;
}

bool readAll(int fd, std::uint8_t* buffer, std::size_t size, off_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool sequenceHeader(const std::uint8_t* p, int seq)
{
    const auto id = dif::readBlockId(p);
    return id && id->section == dif::Section::Header && id->sequence == seq && id->block == 0;
}

bool blank(const std::uint8_t* p, std::size_t n)
{
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == DvTape::kBlankByte; });
}

} // namespace

DVINFO dvInfoOfFrame(const std::uint8_t* frame, std::size_t length)
{
    DVINFO info{};
    std::memset(&info, 0xFF, sizeof info);
    info.dwDVReserved[0] = info.dwDVReserved[1] = 0;
    const dif::System system = dif::readSystem(frame, length);
    if (system == dif::System::None)
        return info;
    const int second = dif::sequencesPerFrame(system) / 2;
    info.dwDVAAuxSrc = findAauxPack(frame, system, 0, dif::kPackAauxSource);
    info.dwDVAAuxCtl = findAauxPack(frame, system, 0, dif::kPackAauxSourceControl);
    info.dwDVAAuxSrc1 = findAauxPack(frame, system, second, dif::kPackAauxSource);
    info.dwDVAAuxCtl1 = findAauxPack(frame, system, second, dif::kPackAauxSourceControl);
    info.dwDVVAuxSrc = findVauxPack(frame, system, 0, dif::kPackVauxSource);
    info.dwDVVAuxCtl = findVauxPack(frame, system, 0, dif::kPackVauxSourceControl);
    return info;
}

std::shared_ptr<DvTape> DvTape::open(const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::shared_ptr<DvTape> {
        if (error)
            *error = "the tape \"" + path + "\" " + why;
        return nullptr;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(std::string("cannot be opened: ") + std::strerror(errno));
    std::shared_ptr<DvTape> tape(new DvTape);
    tape->fd_ = fd; // closed with the tape from here on
    tape->path_ = path;

    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail(std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail("is not a file");

    // A leader of blank tape comes before the first recorded frame.
    std::int64_t recording = 0;
    {
        std::vector<std::uint8_t> window(64 * 1024);
        bool found = false;
        for (std::int64_t at = 0; at < st.st_size && !found;) {
            const auto n = static_cast<std::size_t>(std::min<std::int64_t>(window.size(), st.st_size - at));
            if (!readAll(fd, window.data(), n, static_cast<off_t>(at)))
                break;
            const auto it = std::find_if(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(n),
                                         [](std::uint8_t b) { return b != kBlankByte; });
            found = it != window.begin() + static_cast<std::ptrdiff_t>(n);
            at += found ? it - window.begin() : static_cast<std::int64_t>(n);
            recording = at;
        }
        if (!found)
            return fail(st.st_size < static_cast<off_t>(dif::kFrameSizeNtsc)
                            ? "is not a DV tape: it is shorter than one DV frame"
                            : "is not a DV tape: it is blank from its start to its end");
    }
    std::vector<std::uint8_t> first(dif::kFrameSizePal);
    const std::size_t head =
        std::min<std::size_t>(first.size(), static_cast<std::size_t>(st.st_size - recording));
    errno = 0;
    if (head < dif::kFrameSizeNtsc || !readAll(fd, first.data(), head, static_cast<off_t>(recording))) {
        if (errno != 0)
            return fail(std::string("cannot be read: ") + std::strerror(errno));
        return fail("is not a DV tape: it is shorter than one DV frame");
    }
    const dif::System system = dif::readSystem(first.data(), head);
    if (system == dif::System::None)
        return fail("is not a DV tape: its first frame is not a DV frame");

    tape->system_ = system;
    tape->frameSize_ = dif::frameSize(system);
    const auto size = static_cast<std::int64_t>(st.st_size);
    const auto frameBytes = static_cast<std::int64_t>(tape->frameSize_);
    tape->frameCount_ = size / frameBytes;
    // A file of whole frames holds every frame in its place (a damaged one
    // is read as damaged there); any other is indexed.
    if ((size - recording) % frameBytes != 0 || recording % frameBytes != 0) {
        tape->index(size);
        tape->frameCount_ = static_cast<std::int64_t>(tape->offsets_.size());
    }
    tape->dvInfo_ = dvInfoOfFrame(first.data(), tape->frameSize_);

    // STYPE of the first VAUX source pack: 00001 marks the SDL signal.
    bool longPlay = false;
    bool found = false;
    for (int seq = 0; seq < dif::sequencesPerFrame(system) && !found; ++seq)
        for (int b = 0; b < dif::kVauxBlocks && !found; ++b) {
            const std::uint8_t* block = first.data() + dif::blockOffset(system, seq, dif::Section::Vaux, b);
            for (int k = 0; k < kPacksPerVaux && !found; ++k)
                if (const auto source = dif::parseVauxSourcePack(block + 3 + 5 * k)) {
                    found = true;
                    longPlay = source->signalType == 1;
                }
        }
    if (system == dif::System::Pal625_50)
        tape->signal_ = longPlay ? Signal::Sdl625_50 : Signal::Sd625_50;
    else
        tape->signal_ = longPlay ? Signal::Sdl525_60 : Signal::Sd525_60;
    return tape;
}

// A sequence header of the tape's system where a frame begins and the next
// one where its second sequence begins; one header alone may be chance.
bool DvTape::startsFrameAt(const std::uint8_t* p) const
{
    return sequenceHeader(p, 0) && (p[3] & 0x80) == (system_ == dif::System::Pal625_50 ? 0x80 : 0)
           && sequenceHeader(p + dif::kSequenceSize, 1);
}

bool DvTape::startsFrame(std::int64_t at, std::int64_t size) const
{
    std::vector<std::uint8_t> head(dif::kSequenceSize + dif::kBlockSize);
    if (at < 0 || at + static_cast<std::int64_t>(frameSize_) > size)
        return false;
    return readAll(fd_, head.data(), head.size(), static_cast<off_t>(at)) && startsFrameAt(head.data());
}

std::int64_t DvTape::findFrameStart(std::int64_t from, std::int64_t to, std::int64_t size) const
{
    constexpr std::int64_t kWindow = 64 * 1024;
    constexpr auto kLook = static_cast<std::int64_t>(dif::kSequenceSize + dif::kBlockSize);
    std::vector<std::uint8_t> window(static_cast<std::size_t>(kWindow + kLook));
    const auto frameBytes = static_cast<std::int64_t>(frameSize_);
    for (std::int64_t at = from; at < to && at + frameBytes <= size; at += kWindow) {
        const std::int64_t n = std::min<std::int64_t>(kWindow + kLook, size - at);
        if (!readAll(fd_, window.data(), static_cast<std::size_t>(n), static_cast<off_t>(at)))
            return -1;
        for (std::int64_t k = 0; k < kWindow && k + kLook <= n && at + k < to && at + k + frameBytes <= size; ++k)
            if (startsFrameAt(window.data() + k))
                return at + k;
    }
    return -1;
}

void DvTape::index(std::int64_t size)
{
    const auto frameBytes = static_cast<std::int64_t>(frameSize_);
    std::vector<std::uint8_t> frame(frameSize_);
    std::int64_t pos = 0;
    while (pos + frameBytes <= size) {
        const std::int64_t next = pos + frameBytes;
        if (startsFrame(pos, size)) {
            // Whole unless the next frame starts inside it (this one was cut short).
            const bool whole = next + frameBytes > size || startsFrame(next, size);
            const std::int64_t inside = whole ? -1 : findFrameStart(pos + 1, next, size);
            if (inside < 0) {
                offsets_.push_back(pos);
                pos = next;
            } else {
                offsets_.push_back(kLost);
                pos = inside;
            }
            continue;
        }
        if (readAll(fd_, frame.data(), frame.size(), static_cast<off_t>(pos)) && blank(frame.data(), frame.size())) {
            offsets_.push_back(pos);
            pos = next;
            continue;
        }
        // A damaged stretch: lost up to the next frame start, a frame length at a time.
        const std::int64_t found = findFrameStart(pos + 1, next + 1, size);
        offsets_.push_back(kLost);
        pos = found < 0 ? next : found;
    }
}

DvTape::~DvTape()
{
    if (fd_ >= 0)
        ::close(fd_);
}

DropReason DvTape::readFrame(std::int64_t index, std::uint8_t* buffer) const
{
    if (index < 0 || index >= frameCount_ || !buffer)
        return DropReason::Damaged;
    const std::int64_t at =
        offsets_.empty() ? index * static_cast<std::int64_t>(frameSize_) : offsets_[static_cast<std::size_t>(index)];
    if (at == kLost || !readAll(fd_, buffer, frameSize_, static_cast<off_t>(at)))
        return DropReason::Damaged;
    const dif::System system = dif::readSystem(buffer, frameSize_);
    if (system == system_)
        return DropReason::None;
    if (system == dif::System::None)
        return blank(buffer, frameSize_) ? DropReason::Blank : DropReason::Damaged;
    return DropReason::OtherStandard;
}

} // namespace th::dv
