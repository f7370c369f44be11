// The DV device filter over a camcorder on the FireWire bus: its streaming
// run and its device events. The frames come assembled from the bus with
// their frame periods; every period whose frame was lost on the way, or had
// no buffer to go into, is counted as dropped in its place.
#include "platform/dv/DvDeviceFilter.h"

#include "platform/dv/FireWireWatch.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace th::dv {

namespace {

constexpr auto kWait = std::chrono::milliseconds(100);

struct Filters {
    std::mutex mutex;
    std::vector<DvDeviceFilter*> list;
};

Filters& filters()
{
    static Filters* f = new Filters;
    return *f;
}

// EC_DEVICE_LOST once in every graph holding a filter of the device (param2:
// 1 back, 0 removed), as the virtual camcorder does.
void notifyGraphs(const std::shared_ptr<Ieee1394Device>& device, bool present)
{
    Filters& f = filters();
    std::lock_guard<std::mutex> lock(f.mutex);
    std::vector<IFilterGraph*> done;
    for (DvDeviceFilter* filter : f.list) {
        IFilterGraph* graph = filter->graphForEvents();
        if (filter->fireWire() != device || !graph || std::find(done.begin(), done.end(), graph) != done.end())
            continue;
        done.push_back(graph);
        filter->NotifyEvent(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(filter->GetOwner()), present ? 1 : 0);
    }
}

struct Hooks {
    Hooks()
    {
        setFireWireHooks(
            [](std::shared_ptr<Ieee1394Device> device, REFIID riid, void** ppv) {
                return DvDeviceFilter::create(std::move(device), riid, ppv);
            },
            &notifyGraphs);
    }
};
const Hooks g_hooks;

} // namespace

void addFireWireFilter(DvDeviceFilter* filter)
{
    std::lock_guard<std::mutex> lock(filters().mutex);
    filters().list.push_back(filter);
}

void removeFireWireFilter(DvDeviceFilter* filter)
{
    Filters& f = filters();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.list.erase(std::remove(f.list.begin(), f.list.end(), filter), f.list.end());
}

void DvOutputPin::streamFireWire(std::shared_ptr<std::atomic<bool>> stop)
{
    const std::shared_ptr<Ieee1394Device> device = m_device->fireWire();
    std::string error;
    std::unique_ptr<Ieee1394Stream> run = device->openStream(&error);
    if (!run) {
        std::fprintf(stderr, "TapeHarvest DV device: %s\n", error.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_fireWireMutex);
        m_fireWireStream = run.get();
    }
    if (stop->load())
        run->wake(); // the stop came before the stream was there to wake
    const REFERENCE_TIME period = device->framePeriod();
    const std::size_t frameSize = device->frameSize();
    std::vector<std::uint8_t> scratch(frameSize);
    IMediaSample* sample = nullptr;
    bool first = true;
    std::int64_t lastSlot = -1;
    for (;;) {
        BYTE* buffer = nullptr;
        if (!sample && FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT)))
            sample = nullptr;
        if (sample && (FAILED(sample->GetPointer(&buffer)) || sample->GetSize() < static_cast<LONG>(frameSize))) {
            sample->Release();
            sample = nullptr;
            buffer = nullptr;
        }
        const std::span<std::uint8_t> into = buffer ? std::span<std::uint8_t>(buffer, frameSize)
                                                    : std::span<std::uint8_t>(scratch);
        const Ieee1394Stream::Result r = run->next(into, kWait);
        if (r.kind == Ieee1394Stream::Result::Stop)
            break;
        if (r.kind == Ieee1394Stream::Result::Idle)
            continue;
        if (r.kind == Ieee1394Stream::Result::Missed) {
            countDropped(r.slot, r.count);
            continue;
        }
        if (!buffer) {
            countDropped(r.slot, 1); // every buffer was still downstream
            continue;
        }
        // Media times count frame periods since the run began, those lost included.
        deliverFrame(sample, r.slot * period, period, r.slot, static_cast<LONG>(frameSize),
                     first || r.slot != lastSlot + 1);
        first = false;
        lastSlot = r.slot;
        sample->Release();
        sample = nullptr;
        if (th::dshow::StreamingThread::StopRequestedHere())
            break;
    }
    if (sample)
        sample->Release();
    {
        std::lock_guard<std::mutex> lock(m_fireWireMutex);
        m_fireWireStream = nullptr;
    }
}

} // namespace th::dv
