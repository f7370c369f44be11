#include "platform/dv/DvTape.h"

#include "platform/dv/DifFrame.h"

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

    std::vector<std::uint8_t> first(dif::kFrameSizePal);
    const std::size_t head = std::min<std::size_t>(first.size(), static_cast<std::size_t>(st.st_size));
    errno = 0;
    if (head < dif::kFrameSizeNtsc || !readAll(fd, first.data(), head, 0)) {
        if (errno != 0)
            return fail(std::string("cannot be read: ") + std::strerror(errno));
        return fail("is not a DV tape: it is shorter than one DV frame");
    }
    const dif::System system = dif::readSystem(first.data(), head);
    if (system == dif::System::None)
        return fail("is not a DV tape: its first frame is not a DV frame");

    tape->system_ = system;
    tape->frameSize_ = dif::frameSize(system);
    tape->frameCount_ = static_cast<std::int64_t>(st.st_size) / static_cast<std::int64_t>(tape->frameSize_);
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

DvTape::~DvTape()
{
    if (fd_ >= 0)
        ::close(fd_);
}

DropReason DvTape::readFrame(std::int64_t index, std::uint8_t* buffer) const
{
    if (index < 0 || index >= frameCount_ || !buffer)
        return DropReason::Damaged;
    if (!readAll(fd_, buffer, frameSize_, static_cast<off_t>(index * static_cast<std::int64_t>(frameSize_))))
        return DropReason::Damaged;
    const dif::System system = dif::readSystem(buffer, frameSize_);
    if (system == system_)
        return DropReason::None;
    return system == dif::System::None ? DropReason::Damaged : DropReason::OtherStandard;
}

} // namespace th::dv
