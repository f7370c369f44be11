#include "platform/media/AudioRenderer.h"

#include "platform/media/MainThreadCall.h"

#include "platform/dshow/StreamingThread.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QIODevice>
#include <QMediaDevices>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace th::media {

namespace {

using Clock = std::chrono::steady_clock;
// The longest wait without a look at the streaming thread's stop request;
// the renderer's own stop, pause and flush, and every read of the sound
// output, wake a waiting Receive at once.
constexpr auto kSlice = std::chrono::milliseconds(20);

bool onMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

REFERENCE_TIME now100ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() / 100;
}

Clock::time_point fromRefTime(REFERENCE_TIME t)
{
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(t * 100)));
}

qreal linearVolume(LONG hundredthsDb)
{
    if (hundredthsDb <= -10000)
        return 0.0;
    return std::pow(10.0, hundredthsDb / 2000.0);
}

bool readWaveFormat(const AM_MEDIA_TYPE& mt, WAVEFORMATEX* wf)
{
    if (!(mt.majortype == MEDIATYPE_Audio) || !(mt.subtype == MEDIASUBTYPE_PCM) ||
        !(mt.formattype == FORMAT_WaveFormatEx) || !mt.pbFormat || mt.cbFormat < 16)
        return false;
    *wf = WAVEFORMATEX{};
    std::memcpy(wf, mt.pbFormat, std::min<std::size_t>(mt.cbFormat, sizeof *wf));
    const WORD bits = wf->wBitsPerSample;
    return wf->wFormatTag == WAVE_FORMAT_PCM && wf->nChannels >= 1 && wf->nChannels <= 8 &&
           wf->nSamplesPerSec >= 1000 && wf->nSamplesPerSec <= 192000 && (bits == 8 || bits == 16 || bits == 32) &&
           wf->nBlockAlign == wf->nChannels * bits / 8;
}

} // namespace

// The bytes between the streaming thread and the sound output, in a buffer
// that is sized before a run and then only reused.
struct AudioRing {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint8_t> bytes;
    std::size_t head = 0; // next byte to play
    std::size_t filled = 0;
    std::atomic<bool> deviceActive{false};
    // The output is suspended for want of samples: the next sample wakes it.
    std::atomic<bool> idle{false};

    void resize(std::size_t capacity)
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.assign(capacity, 0);
        head = filled = 0;
    }
    void clear()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            head = filled = 0;
        }
        changed.notify_all();
    }
    std::size_t write(const std::uint8_t* data, std::size_t n)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::size_t cap = bytes.size();
        const std::size_t k = std::min(n, cap - filled);
        for (std::size_t i = 0; i < k;) {
            const std::size_t at = (head + filled) % cap;
            const std::size_t run = std::min(k - i, cap - at);
            std::memcpy(&bytes[at], data + i, run);
            filled += run;
            i += run;
        }
        return k;
    }
    std::size_t read(std::uint8_t* out, std::size_t n)
    {
        std::size_t k;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const std::size_t cap = bytes.size();
            k = std::min(n, filled);
            for (std::size_t i = 0; i < k;) {
                const std::size_t run = std::min(k - i, cap - head);
                std::memcpy(out + i, &bytes[head], run);
                head = (head + run) % cap;
                filled -= run;
                i += run;
            }
        }
        changed.notify_all();
        return k;
    }
};

namespace {

// What the sink pulls: the ring, and silence while the ring is empty, so that
// a late stream leaves a gap instead of stopping the output. When nothing has
// come for kIdleMs it tells its owner, which suspends the output, so that an
// idle preview keeps neither the sound server nor the program busy.
class RingDevice final : public QIODevice {
public:
    static constexpr int kIdleMs = 300;

    RingDevice(std::shared_ptr<AudioRing> ring, std::function<void()> idle, QObject* parent)
        : QIODevice(parent), m_ring(std::move(ring)), m_idle(std::move(idle))
    {
    }
    bool isSequential() const override { return true; }
    void woken() { m_lastData = Clock::now(); }

protected:
    qint64 readData(char* data, qint64 maxlen) override
    {
        if (maxlen <= 0)
            return 0;
        const std::size_t n = m_ring->read(reinterpret_cast<std::uint8_t*>(data), static_cast<std::size_t>(maxlen));
        const Clock::time_point now = Clock::now();
        if (n > 0) {
            // What there is, and no silence after it: silence in the middle of
            // the stream would be a gap, and would put the rest later.
            m_lastData = now;
            return static_cast<qint64>(n);
        }
        if (now - m_lastData > std::chrono::milliseconds(kIdleMs) && m_idle)
            m_idle();
        std::memset(data, 0, static_cast<std::size_t>(maxlen));
        return maxlen;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    std::shared_ptr<AudioRing> m_ring;
    std::function<void()> m_idle;
    Clock::time_point m_lastData = Clock::now();
};

// Qt's PulseAudio sink runs the event loop as it is deleted. Deleted from
// inside whatever takes the renderer down (a window's destructor), it would
// deliver queued calls to objects half gone: a sink is stopped at once and
// deleted later from the event loop, or at the latest as the application ends.
// On the main thread only.
struct RetiredSinks {
    std::vector<QPointer<QAudioSink>> sinks;
    bool cleanupAdded = false;
};

RetiredSinks& retired()
{
    static RetiredSinks r;
    return r;
}

void deleteRetiredSinks()
{
    std::vector<QPointer<QAudioSink>> sinks;
    sinks.swap(retired().sinks);
    retired().cleanupAdded = false;
    for (const QPointer<QAudioSink>& sink : sinks) {
        if (!sink)
            continue;
        // Its own deletion, still queued, would run inside its destructor.
        QCoreApplication::removePostedEvents(sink.data(), QEvent::DeferredDelete);
        delete sink.data();
    }
}

void retireSink(QAudioSink* sink)
{
    sink->disconnect();
    sink->stop();
    sink->setParent(nullptr);
    RetiredSinks& r = retired();
    std::erase_if(r.sinks, [](const QPointer<QAudioSink>& s) { return s.isNull(); });
    r.sinks.emplace_back(sink);
    if (!r.cleanupAdded) {
        r.cleanupAdded = true;
        qAddPostRoutine(&deleteRetiredSinks);
    }
    sink->deleteLater();
}

} // namespace

// The Qt side of the renderer, on the main thread: the default output, the
// sink that plays the ring, and the watch on the list of outputs.
class AudioOutput final : public QObject {
public:
    explicit AudioOutput(std::shared_ptr<AudioRing> ring) : m_ring(std::move(ring)) {}
    ~AudioOutput() override
    {
        // Calls still queued for this object must not reach it while its
        // children go (a sink's teardown may deliver posted events).
        QCoreApplication::removePostedEvents(this);
        m_wanted = false;
        delete m_poll;
        m_poll = nullptr;
        delete m_devices;
        m_devices = nullptr;
        m_ring->deviceActive = false;
        m_ring->changed.notify_all();
        if (m_sink)
            retireSink(m_sink);
        m_sink = nullptr;
        delete m_source;
        m_source = nullptr;
    }

    void start(const QAudioFormat& format, qreal volume, int bufferBytes)
    {
        m_format = format;
        m_volume = volume;
        m_bufferBytes = bufferBytes;
        m_wanted = true;
        if (!m_devices) {
            m_devices = new QMediaDevices(this);
            connect(m_devices, &QMediaDevices::audioOutputsChanged, this, [this] { outputsChanged(); });
            // Qt 6.4's PulseAudio backend updates its list of outputs without
            // always raising audioOutputsChanged: look again now and then
            // while there is none.
            m_poll = new QTimer(this);
            m_poll->setInterval(kPollMs);
            connect(m_poll, &QTimer::timeout, this, [this] { outputsChanged(); });
        }
        m_muted = volume <= 0.0;
        m_idle = false;
        open();
        if (!m_sink)
            m_poll->start();
    }
    void stop()
    {
        m_wanted = false;
        if (m_poll)
            m_poll->stop();
        close();
    }
    void setVolume(qreal volume)
    {
        m_volume = volume;
        if (m_sink)
            m_sink->setVolume(volume);
        // Silence is not played: muted, the clock takes the samples.
        m_muted = volume <= 0.0;
        m_ring->deviceActive = m_sink && !m_muted;
        m_ring->changed.notify_all();
        updateSuspension();
    }
    // Samples came while the output was suspended for want of them.
    void wake()
    {
        if (m_source)
            m_source->woken();
        m_idle = false;
        updateSuspension();
    }

private:
    void open()
    {
        if (m_sink || !m_wanted)
            return;
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull() || !device.isFormatSupported(m_format))
            return;
        if (!m_source) {
            // Asked from within the sink's pull: suspended after it returns.
            m_source = new RingDevice(
                m_ring,
                [this] {
                    if (m_idle)
                        return;
                    m_idle = true;
                    m_ring->idle = true;
                    QMetaObject::invokeMethod(this, [this] { updateSuspension(); }, Qt::QueuedConnection);
                },
                this);
            // Unbuffered: the sink's reads reach the ring as they are, so that
            // silence is given only when the ring is empty.
            m_source->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        }
        // No parent: the sink hands its own to the sound system's object
        // inside it, which would then go with this object, at once.
        m_sink = new QAudioSink(device, m_format);
        m_sink->setBufferSize(m_bufferBytes);
        m_sink->setVolume(m_volume);
        connect(m_sink, &QAudioSink::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && m_sink && m_sink->error() != QAudio::NoError)
                close(); // the output went away or failed: quiet until another appears
        });
        m_sink->start(m_source);
        if (m_sink->error() != QAudio::NoError || m_sink->state() == QAudio::StoppedState) {
            close();
            return;
        }
        m_deviceId = device.id();
        m_suspended = false;
        m_ring->deviceActive = !m_muted;
        // The list of outputs is looked at again only while there is none.
        if (m_poll)
            m_poll->stop();
        updateSuspension();
    }
    void updateSuspension()
    {
        if (!m_sink)
            return;
        const bool suspend = m_muted || m_idle;
        if (suspend == m_suspended)
            return;
        m_suspended = suspend;
        if (suspend) {
            m_sink->suspend();
        } else {
            m_ring->idle = false;
            if (m_source)
                m_source->woken();
            // Qt's PulseAudio sink can leave its suspended state by itself (a
            // late underflow notice makes it active, then idle) while its
            // stream stays corked, and then takes no notice of resume().
            if (m_sink->state() != QAudio::SuspendedState)
                m_sink->suspend();
            m_sink->resume();
        }
    }
    void close()
    {
        m_ring->deviceActive = false;
        m_ring->changed.notify_all();
        m_idle = false;
        m_ring->idle = false;
        if (m_poll && m_wanted)
            m_poll->start();
        if (m_sink) {
            QAudioSink* sink = m_sink;
            m_sink = nullptr;
            retireSink(sink);
        }
    }
    void outputsChanged()
    {
        if (!m_wanted)
            return;
        if (m_sink) {
            bool present = false;
            for (const QAudioDevice& d : QMediaDevices::audioOutputs())
                present = present || d.id() == m_deviceId;
            if (present)
                return;
            close();
        }
        open();
    }

    static constexpr int kPollMs = 500;

    std::shared_ptr<AudioRing> m_ring;
    QMediaDevices* m_devices = nullptr;
    QTimer* m_poll = nullptr;
    QAudioSink* m_sink = nullptr;
    RingDevice* m_source = nullptr;
    QAudioFormat m_format;
    QByteArray m_deviceId;
    qreal m_volume = 1.0;
    int m_bufferBytes = 0;
    bool m_wanted = false;
    bool m_muted = false;
    bool m_idle = false;      // nothing to play for a while
    bool m_suspended = false;
};

// --- Pin ---------------------------------------------------------------------------------------

CAudioRendererInputPin::CAudioRendererInputPin(CAudioRenderer* renderer, CCritSec* lock, HRESULT* hr)
    : CRenderedInputPin("Audio Renderer input", renderer, lock, hr, u"Audio Input pin (rendered)"),
      m_renderer(renderer)
{
}

HRESULT CAudioRendererInputPin::CheckMediaType(const CMediaType* type)
{
    WAVEFORMATEX wf;
    return type && readWaveFormat(*type, &wf) ? S_OK : S_FALSE;
}

HRESULT CAudioRendererInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CRenderedInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    return m_renderer->render(sample);
}

HRESULT CAudioRendererInputPin::BeginFlush()
{
    const HRESULT hr = CRenderedInputPin::BeginFlush();
    ++m_renderer->m_generation;
    m_renderer->m_ring->clear();
    return hr;
}

// --- Filter --------------------------------------------------------------------------------------

CUnknown* CAudioRenderer::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CAudioRenderer(outer, hr);
}

CAudioRenderer::CAudioRenderer(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("Audio Renderer", outer, &m_lock, CLSID_DSoundRender), m_input(this, &m_lock, hr),
      m_ring(std::make_shared<AudioRing>())
{
    if (QCoreApplication* app = QCoreApplication::instance()) {
        m_output = new AudioOutput(m_ring);
        if (!onMainThread())
            m_output->moveToThread(app->thread());
    }
}

CAudioRenderer::~CAudioRenderer()
{
    if (!m_output)
        return;
    if (onMainThread()) {
        delete m_output;
    } else {
        AudioOutput* output = m_output;
        PostToThreadOf(output, [output] { delete output; });
    }
}

HRESULT CAudioRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IBasicAudio)
        return GetInterface(static_cast<IBasicAudio*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

bool CAudioRenderer::Playing() const
{
    return m_ring->deviceActive;
}

HRESULT CAudioRenderer::Pause()
{
    CAutoLock lock(&m_lock);
    m_running = false;
    ++m_generation;
    m_ring->changed.notify_all();
    const bool fromStopped = m_State == State_Stopped;
    const HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr) || !fromStopped || !m_input.IsConnected())
        return hr;
    WAVEFORMATEX wf;
    if (!readWaveFormat(m_input.CurrentMediaType(), &wf))
        return hr;
    const std::size_t lead = std::max<std::size_t>(
        wf.nBlockAlign, std::size_t(wf.nSamplesPerSec) * kLeadMs / 1000 * wf.nBlockAlign);
    m_ring->resize(lead);
    if (m_output) {
        QAudioFormat format;
        format.setSampleRate(static_cast<int>(wf.nSamplesPerSec));
        format.setChannelCount(wf.nChannels);
        format.setSampleFormat(wf.wBitsPerSample == 8    ? QAudioFormat::UInt8
                               : wf.wBitsPerSample == 16 ? QAudioFormat::Int16
                                                         : QAudioFormat::Int32);
        const qreal volume = linearVolume(m_volume);
        // The sound server's buffer as long as the lead: half of it made the
        // server wake twice as often, at twice the cost.
        const int bufferBytes = static_cast<int>(lead);
        AudioOutput* output = m_output;
        PostToThreadOf(output,
                       [output, format, volume, bufferBytes] { output->start(format, volume, bufferBytes); });
    }
    return hr;
}

HRESULT CAudioRenderer::Run(REFERENCE_TIME start)
{
    CAutoLock lock(&m_lock);
    const HRESULT hr = CBaseFilter::Run(start);
    if (FAILED(hr))
        return hr;
    m_runStart = start;
    ++m_generation;
    m_running = true;
    return hr;
}

HRESULT CAudioRenderer::Stop()
{
    CAutoLock lock(&m_lock);
    m_running = false;
    ++m_generation;
    m_ring->changed.notify_all();
    if (m_output && m_State != State_Stopped) {
        AudioOutput* output = m_output;
        PostToThreadOf(output, [output] { output->stop(); });
    }
    m_ring->clear();
    return CBaseFilter::Stop();
}

bool CAudioRenderer::keepWaiting() const
{
    return m_running && !m_input.IsFlushing() && !th::dshow::StreamingThread::StopRequestedHere();
}

bool CAudioRenderer::waitUntil(Clock::time_point until)
{
    const unsigned generation = m_generation;
    while (Clock::now() < until) {
        if (!keepWaiting() || m_generation != generation)
            return false;
        // Stop, pause and flush wake it at once.
        std::unique_lock<std::mutex> lock(m_ring->mutex);
        m_ring->changed.wait_until(lock, std::min(until, Clock::now() + kSlice));
    }
    return true;
}

HRESULT CAudioRenderer::render(IMediaSample* sample)
{
    // Paused: a live stream is not held back for a cue; the sample is let go.
    if (!m_running)
        return S_OK;
    WAVEFORMATEX wf;
    if (!readWaveFormat(m_input.CurrentMediaType(), &wf))
        return VFW_E_TYPE_NOT_ACCEPTED;
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data)
        return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    if (length < 0)
        return E_INVALIDARG;
    const std::size_t n = static_cast<std::size_t>(length) / wf.nBlockAlign * wf.nBlockAlign;
    if (n == 0)
        return S_OK;

    // When the sample is due on the renderer's clock.
    const unsigned generation = m_generation;
    const REFERENCE_TIME now = now100ns();
    if (generation != m_clockGeneration) {
        m_clockGeneration = generation;
        m_offset = 0;
        m_nextDue = now;
    }
    const REFERENCE_TIME lead = kLeadMs * MILLISECONDS;
    const REFERENCE_TIME resync = kResyncMs * MILLISECONDS;
    REFERENCE_TIME start = 0, stop = 0;
    REFERENCE_TIME due;
    if (SUCCEEDED(sample->GetTime(&start, &stop))) {
        due = m_runStart + start + m_offset;
        if (due - now > resync || now - due > resync) {
            m_offset += now - due;
            due = now;
        }
    } else {
        due = m_nextDue < now - lead ? now : m_nextDue;
    }

    // A sound output takes the data as it plays it. An output that takes
    // nothing for longer than twice the sample's length plus the lead (its
    // thread busy elsewhere) loses the rest of the sample.
    const REFERENCE_TIME length100ns = static_cast<REFERENCE_TIME>(n) * UNITS / wf.nAvgBytesPerSec;
    m_nextDue = due + length100ns;
    const Clock::time_point giveUp = Clock::now() + std::chrono::nanoseconds((2 * length100ns + lead) * 100);
    if (m_ring->idle.exchange(false) && m_output) {
        AudioOutput* output = m_output;
        PostToThreadOf(output, [output] { output->wake(); });
    }
    std::size_t done = 0;
    while (done < n && m_ring->deviceActive) {
        done += m_ring->write(data + done, n - done);
        if (done == n)
            return S_OK;
        std::unique_lock<std::mutex> lock(m_ring->mutex);
        m_ring->changed.wait_for(lock, kSlice);
        lock.unlock();
        if (!keepWaiting() || m_generation != generation || Clock::now() > giveUp)
            return S_OK;
    }
    // None: the clock takes it.
    waitUntil(fromRefTime(due - lead));
    return S_OK;
}

HRESULT CAudioRenderer::put_Volume(LONG volume)
{
    if (volume < -10000 || volume > 0)
        return E_INVALIDARG;
    m_volume = volume;
    if (m_output) {
        AudioOutput* output = m_output;
        const qreal linear = linearVolume(volume);
        PostToThreadOf(output, [output, linear] { output->setVolume(linear); });
    }
    return S_OK;
}

HRESULT CAudioRenderer::get_Volume(LONG* volume)
{
    if (!volume)
        return E_POINTER;
    *volume = m_volume;
    return S_OK;
}

} // namespace th::media
