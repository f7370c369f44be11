#include "platform/dv/DvPacketAssembler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace th::dv {

namespace {

constexpr std::size_t kCip = 8;
constexpr std::size_t kBlock = 80;
constexpr std::size_t kBlocksPerPacket = 6;
constexpr std::size_t kPayload = kBlock * kBlocksPerPacket;
constexpr int kBlocksPerSequence = 150;

// The place of a DIF block in its sequence, from its ID; -1 for none.
int blockInSequence(const std::uint8_t* id)
{
    const int sct = id[0] >> 5;
    const int dbn = id[2];
    switch (sct) {
    case 0: return dbn == 0 ? 0 : -1;
    case 1: return dbn < 2 ? 1 + dbn : -1;
    case 2: return dbn < 3 ? 3 + dbn : -1;
    case 3: return dbn < 9 ? 6 + dbn * 16 : -1;
    case 4: return dbn < 135 ? 7 + dbn + dbn / 15 : -1;
    default: return -1;
    }
}

int packetsPerFrame(dif::System s)
{
    return s == dif::System::Pal625_50 ? 300 : 250;
}

} // namespace

DvPacketAssembler::DvPacketAssembler(FrameSink frames, LossSink losses)
    : frames_(std::move(frames)), losses_(std::move(losses))
{
}

double DvPacketAssembler::cyclesPerFrame() const
{
    return system_ == dif::System::Ntsc525_60 ? 8000.0 * 1001.0 / 30000.0 : 320.0;
}

void DvPacketAssembler::lose(std::int64_t slot, std::int64_t count, FrameLoss why)
{
    if (count <= 0)
        return;
    lost_ += count;
    if (losses_)
        losses_(slot, count, why);
}

void DvPacketAssembler::closeFrame()
{
    if (!inFrame_)
        return;
    inFrame_ = false;
    lose(frameSlot_, 1, FrameLoss::Incomplete);
}

void DvPacketAssembler::startFrame(std::int64_t cycle, dif::System system)
{
    if (system_ == dif::System::None)
        system_ = system;
    const double periods = static_cast<double>(cycle - baseCycle_) / cyclesPerFrame();
    std::int64_t slot = std::llround(periods);
    slot = std::max(slot, frameSlot_ + 1);
    // Periods between the last frame and this one: lost if something was
    // lost, else the camcorder sent no frames then.
    if (lossPending_ && frameSlot_ >= 0)
        lose(frameSlot_ + 1, slot - frameSlot_ - 1, lossWhy_);
    lossPending_ = false;
    inFrame_ = true;
    frameCycle_ = cycle;
    frameSlot_ = slot;
    frameSystem_ = system;
    frameLastIndex_ = -1;
    received_ = 0;
    const int packets = packetsPerFrame(system);
    have_.assign(static_cast<std::size_t>(packets), false);
    buffer_.resize(static_cast<std::size_t>(packets) * kPayload);
}

void DvPacketAssembler::packet(const std::uint8_t* data, std::size_t length, unsigned cycle, unsigned extraSeconds)
{
    if (length < kCip)
        return;
    const bool isData = length >= kCip + kPayload;
    const std::uint8_t dbc = data[3];
    std::int64_t now;
    if (!started_) {
        started_ = true;
        now = cycle;
        baseCycle_ = now;
    } else {
        const std::int64_t mod = lastCycle_ % 8000;
        std::int64_t step = (static_cast<std::int64_t>(cycle) - mod + 8000) % 8000;
        if (step == 0)
            step = 8000;
        now = lastCycle_ + step + static_cast<std::int64_t>(extraSeconds) * 8000;
        if (dbc != lastDbc_) {
            // The DBC of any packet names the next data block to come; a jump
            // means data packets never reached us.
            lossPending_ = true;
            lossWhy_ = now - lastCycle_ > 1 ? FrameLoss::Overrun : FrameLoss::Bus;
        } else if (now - lastCycle_ > 1 && (lastWasData_ || isData)) {
            // Whole cycles missing while data flowed (the DBC may have wrapped round).
            lossPending_ = true;
            lossWhy_ = FrameLoss::Overrun;
        }
    }
    lastCycle_ = now;
    lastWasData_ = isData;
    lastDbc_ = static_cast<std::uint8_t>(dbc + (isData ? 1 : 0));
    if (!isData)
        return;

    const std::uint8_t* first = data + kCip;
    const int inSeq = blockInSequence(first);
    const int sequence = first[1] >> 4;
    if (inSeq < 0 || inSeq % static_cast<int>(kBlocksPerPacket) != 0) {
        // Not the first block of a packet's place: damaged; its frame cannot complete.
        return;
    }
    const int index = (sequence * kBlocksPerSequence + inSeq) / static_cast<int>(kBlocksPerPacket);
    if (index == 0) {
        closeFrame();
        const dif::System system = (first[3] & 0x80) ? dif::System::Pal625_50 : dif::System::Ntsc525_60;
        startFrame(now, system);
    } else if (inFrame_ && (now - frameCycle_ >= static_cast<std::int64_t>(std::ceil(cyclesPerFrame()))
                            || index <= frameLastIndex_)) {
        // A packet of the next frame, whose start was lost.
        closeFrame();
    }
    if (!inFrame_ || index >= packetsPerFrame(frameSystem_))
        return;
    frameLastIndex_ = index;
    if (!have_[static_cast<std::size_t>(index)]) {
        have_[static_cast<std::size_t>(index)] = true;
        ++received_;
    }
    std::memcpy(buffer_.data() + static_cast<std::size_t>(index) * kPayload, first, kPayload);
    if (received_ == packetsPerFrame(frameSystem_)) {
        inFrame_ = false;
        if (frameSystem_ != system_) {
            lose(frameSlot_, 1, FrameLoss::OtherSignal);
            return;
        }
        ++delivered_;
        if (frames_)
            frames_(buffer_.data(), buffer_.size(), frameSlot_);
    }
}

void DvPacketAssembler::finish()
{
    closeFrame();
}

} // namespace th::dv
