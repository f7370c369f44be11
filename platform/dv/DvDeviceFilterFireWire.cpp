// The DV device filter over a camcorder on the FireWire bus: its runs and its
// device events. The frames come assembled from the bus with their frame
// periods; the pin's ledger counts every period whose frame was lost on the
// way, or had no buffer to go into, as dropped in its place.
#include "platform/dv/DvDeviceFilter.h"

#include "platform/dv/FireWireWatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace th::dv {

namespace {

constexpr auto kWait = std::chrono::milliseconds(100);

// EC_DEVICE_LOST (param2 0) in every graph holding a filter of the device
// that was removed. Its return is told by the device arrival alone: a
// component whose graph still holds the filter gets that message too, and
// would hear of one arrival twice.
void notifyGraphs(const std::shared_ptr<Ieee1394Device>& device, bool present)
{
    if (!present)
        device->notifyGraphs(0);
}

} // namespace

void installFireWireFilterHooks()
{
    setFireWireHooks(
        [](std::shared_ptr<Ieee1394Device> device, REFIID riid, void** ppv) {
            return DvDeviceFilter::create(std::move(device), riid, ppv);
        },
        &notifyGraphs);
}

namespace {

DropReason reasonOf(FrameLoss loss)
{
    switch (loss) {
    case FrameLoss::OtherSignal: return DropReason::OtherStandard;
    case FrameLoss::Overrun:
    case FrameLoss::Late: return DropReason::Late;
    case FrameLoss::Bus:
    case FrameLoss::Incomplete: break;
    }
    return DropReason::Damaged;
}

// The frames of the bus as the pin takes them: periods in which the camcorder
// sent nothing (a stopped deck) are Idle, periods whose frame was lost are
// Missed, in the order of the bus clock.
class FireWireRun final : public DvStream {
public:
    FireWireRun(std::shared_ptr<Ieee1394Device> device, std::unique_ptr<Ieee1394Stream> stream,
                std::size_t frameSize)
        : device_(std::move(device)), stream_(std::move(stream)), frame_(frameSize)
    {
    }

    DvFrame next(std::span<std::uint8_t> into) override
    {
        if (!pending_) {
            const Ieee1394Stream::Result r = stream_->next(frame_, kWait);
            switch (r.kind) {
            case Ieee1394Stream::Result::Stop: return {DvFrame::Stop};
            case Ieee1394Stream::Result::Idle: return {DvFrame::Idle, 0};
            default: break;
            }
            pending_ = r;
            if (r.slot > expected_) {
                const std::int64_t idle = r.slot - expected_;
                expected_ = r.slot;
                return {DvFrame::Idle, idle};
            }
        }
        const Ieee1394Stream::Result r = *pending_;
        pending_.reset();
        expected_ = r.slot + r.count;
        if (r.kind == Ieee1394Stream::Result::Missed)
            return {DvFrame::Missed, r.count, reasonOf(r.why)};
        if (device_->frameSize() != frame_.size()) {
            // The graph was built for the other system than the tape's: the
            // device goes and comes back as what it is, so that the graph is
            // built again on the tape's system.
            if (!told_) {
                told_ = true;
                std::fprintf(stderr, "TapeHarvest DV device: the tape is %s, not what the camcorder was taken for\n",
                             device_->system() == dif::System::Pal625_50 ? "PAL (625/50)" : "NTSC (525/60)");
                fireWireDeviceChanged(device_);
            }
            return {DvFrame::Missed, 1, DropReason::OtherStandard};
        }
        if (!into.empty())
            std::memcpy(into.data(), frame_.data(), std::min(into.size(), frame_.size()));
        return {DvFrame::Frame, 1};
    }

    void wake() override { stream_->wake(); }
    // The bus does not wait.
    bool lossless() const override { return false; }

private:
    std::shared_ptr<Ieee1394Device> device_;
    std::unique_ptr<Ieee1394Stream> stream_;
    std::vector<std::uint8_t> frame_;
    std::optional<Ieee1394Stream::Result> pending_;
    std::int64_t expected_ = 0; // the next period of the bus clock to account for
    bool told_ = false;
};

} // namespace

std::unique_ptr<DvStream> Ieee1394Device::openRun(std::size_t frameSize, std::string* error)
{
    std::unique_ptr<Ieee1394Stream> opened = openStream(error);
    if (!opened)
        return nullptr;
    return std::make_unique<FireWireRun>(shared_from_this(), std::move(opened), frameSize);
}

} // namespace th::dv
