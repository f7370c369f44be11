#include "tools/thtape/TapeWriter.h"

#include "tools/thtape/Picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <numbers>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace thtape {

using th::dif::System;

namespace {

std::string avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string timecodeText(const th::dif::Timecode& tc)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", tc.hours, tc.minutes, tc.seconds,
                  tc.dropFrame ? ';' : ':', tc.frames);
    return text;
}

std::string dateTimeText(const th::dif::RecDateTime& dt)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", dt.date.year, dt.date.month, dt.date.day,
                  dt.time.hour, dt.time.minute, dt.time.second);
    return text;
}

// One worker's encoder and picture.
class FrameMaker {
public:
    explicit FrameMaker(const Tape& tape) : tape_(tape) {}
    ~FrameMaker()
    {
        av_packet_free(&packet_);
        av_frame_free(&picture_);
        avcodec_free_context(&codec_);
    }
    FrameMaker(const FrameMaker&) = delete;
    FrameMaker& operator=(const FrameMaker&) = delete;

    bool open(std::string& error)
    {
        const AVCodec* dv = avcodec_find_encoder(AV_CODEC_ID_DVVIDEO);
        if (!dv) {
            error = "this FFmpeg has no DV video encoder";
            return false;
        }
        const bool pal = tape_.system == System::Pal625_50;
        codec_ = avcodec_alloc_context3(dv);
        picture_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!codec_ || !picture_ || !packet_) {
            error = "out of memory";
            return false;
        }
        codec_->width = 720;
        codec_->height = pal ? 576 : 480;
        codec_->pix_fmt = pal ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
        codec_->time_base = pal ? AVRational{1, 25} : AVRational{1001, 30000};
        codec_->framerate = pal ? AVRational{25, 1} : AVRational{30000, 1001};
        codec_->sample_aspect_ratio = pal ? AVRational{16, 15} : AVRational{8, 9};
        // Frames are made in parallel by the workers; each encoder keeps to one thread.
        codec_->thread_count = 1;
        if (const int rc = avcodec_open2(codec_, dv, nullptr); rc < 0) {
            error = "cannot open the DV video encoder: " + avError(rc);
            return false;
        }
        picture_->format = codec_->pix_fmt;
        picture_->width = codec_->width;
        picture_->height = codec_->height;
        if (const int rc = av_frame_get_buffer(picture_, 0); rc < 0) {
            error = "cannot allocate a picture: " + avError(rc);
            return false;
        }
        return true;
    }

    // Makes frame `index` of the tape into `out` (the system's frame size).
    bool make(long long index, std::uint8_t* out, std::string& error)
    {
        const FramePlan plan = planFrame(tape_, index);
        const Scene& scene = tape_.scenes[static_cast<std::size_t>(plan.scene)];

        if (const int rc = av_frame_make_writable(picture_); rc < 0) {
            error = "cannot allocate a picture: " + avError(rc);
            return false;
        }
        Planes planes;
        planes.y = picture_->data[0];
        planes.cb = picture_->data[1];
        planes.cr = picture_->data[2];
        planes.yStride = picture_->linesize[0];
        planes.cStride = picture_->linesize[1];
        planes.width = picture_->width;
        planes.height = picture_->height;
        const bool pal = tape_.system == System::Pal625_50;
        planes.chromaShiftX = pal ? 1 : 2;
        planes.chromaShiftY = pal ? 1 : 0;
        drawPicture(planes, scene.colour,
                    {"SCENE " + std::to_string(plan.scene + 1), "TC " + timecodeText(plan.timecode),
                     dateTimeText(plan.recorded)});
        picture_->pts = index;

        int rc = avcodec_send_frame(codec_, picture_);
        if (rc >= 0)
            rc = avcodec_receive_packet(codec_, packet_);
        if (rc < 0) {
            error = "the DV video encoder failed: " + avError(rc);
            return false;
        }
        const std::size_t size = th::dif::frameSize(tape_.system);
        if (static_cast<std::size_t>(packet_->size) != size) {
            error = "the DV video encoder made a frame of " + std::to_string(packet_->size) + " bytes";
            av_packet_unref(packet_);
            return false;
        }
        std::memcpy(out, packet_->data, size);
        av_packet_unref(packet_);

        th::dif::FrameInfo info;
        info.system = tape_.system;
        info.timecode = plan.timecode;
        info.recorded = plan.recorded;
        info.audio.frequencyHz = scene.audioHz;
        info.audio.quantization = scene.quantization;
        info.audio.locked = false;
        info.audio.samples = plan.samples;
        info.recordingStart = plan.frameInScene == 0;
        if (!th::dif::writeFrameInfo(out, size, info)) {
            error = "frame " + std::to_string(index) + " cannot carry its audio";
            return false;
        }

        audio_.resize(static_cast<std::size_t>(plan.samples) * 2);
        const double step = 2.0 * std::numbers::pi * scene.toneHz / scene.audioHz;
        for (int i = 0; i < plan.samples; ++i) {
            const double phase = step * static_cast<double>(plan.firstSample - plan.sceneFirstSample + i);
            audio_[2 * i] = static_cast<std::int16_t>(std::lround(kToneAmplitude * std::sin(phase)));
            audio_[2 * i + 1] = static_cast<std::int16_t>(std::lround(kToneAmplitude * std::cos(phase)));
        }
        if (!th::dif::writeAudioSamples(out, size, tape_.system, scene.quantization, audio_.data(), plan.samples)) {
            error = "frame " + std::to_string(index) + " cannot carry its audio";
            return false;
        }
        return true;
    }

private:
    const Tape& tape_;
    AVCodecContext* codec_ = nullptr;
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<std::int16_t> audio_;
};

bool writeAll(int fd, const std::uint8_t* data, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace

long long samplesBeforeFrame(const Tape& tape, long long frame, int hz)
{
    const auto rate = th::dif::frameRate(tape.system);
    return frame * hz * rate.den / rate.num;
}

FramePlan planFrame(const Tape& tape, long long frame)
{
    FramePlan plan;
    long long sceneStart = 0;
    std::size_t s = 0;
    while (s + 1 < tape.scenes.size() && frame >= sceneStart + tape.scenes[s].frames) {
        sceneStart += tape.scenes[s].frames;
        ++s;
    }
    const Scene& scene = tape.scenes[s];
    plan.scene = static_cast<int>(s);
    plan.frameInScene = frame - sceneStart;
    plan.timecode = th::dif::timecodeFromFrameCount(
        tape.system, th::dif::frameCountFromTimecode(tape.system, scene.timecode) + plan.frameInScene);
    // The camcorder's clock: one second per second of video.
    const auto rate = th::dif::frameRate(tape.system);
    plan.recorded = th::dif::addSeconds(scene.recorded, plan.frameInScene * rate.den / rate.num);
    plan.firstSample = samplesBeforeFrame(tape, frame, scene.audioHz);
    plan.samples = static_cast<int>(samplesBeforeFrame(tape, frame + 1, scene.audioHz) - plan.firstSample);
    plan.sceneFirstSample = samplesBeforeFrame(tape, sceneStart, scene.audioHz);
    return plan;
}

bool writeTape(const Tape& tape, int threads, std::string& error)
{
    av_log_set_level(AV_LOG_ERROR);
    if (threads <= 0)
        threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const long long total = tape.totalFrames();
    threads = static_cast<int>(std::min<long long>(threads, std::max(1LL, total)));
    const std::size_t size = th::dif::frameSize(tape.system);

    std::vector<std::unique_ptr<FrameMaker>> makers;
    for (int i = 0; i < threads; ++i) {
        makers.push_back(std::make_unique<FrameMaker>(tape));
        if (!makers.back()->open(error))
            return false;
    }

    std::string temp = tape.output + ".partXXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot create " + tape.output + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it the mode a new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    // A ring of frame slots: a worker may run ahead of the writer by the
    // ring's length, no further.
    const std::size_t ring = static_cast<std::size_t>(threads) * 3;
    std::vector<std::vector<std::uint8_t>> slots(ring, std::vector<std::uint8_t>(size));
    std::vector<long long> ready(ring, -1);
    std::mutex mutex;
    std::condition_variable changed;
    long long nextFrame = 0;
    long long written = 0;
    bool failed = false;
    std::string failure;

    auto work = [&](FrameMaker& maker) {
        for (;;) {
            long long index;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] {
                    return failed || nextFrame >= total || nextFrame < written + static_cast<long long>(ring);
                });
                if (failed || nextFrame >= total)
                    return;
                index = nextFrame++;
            }
            const std::size_t slot = static_cast<std::size_t>(index % static_cast<long long>(ring));
            std::string why;
            const bool ok = maker.make(index, slots[slot].data(), why);
            std::lock_guard lock(mutex);
            if (!ok) {
                if (!failed)
                    failure = why;
                failed = true;
            } else {
                ready[slot] = index;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (auto& m : makers)
        workers.emplace_back(work, std::ref(*m));

    std::string writeError;
    {
        const std::vector<std::uint8_t> blank(size, kBlankByte);
        for (long long k = 0; k < tape.leaderFrames && writeError.empty(); ++k)
            if (!writeAll(fd, blank.data(), size))
                writeError = "cannot write " + tape.output + ": " + std::strerror(errno);
        if (!writeError.empty()) {
            std::lock_guard lock(mutex);
            failed = true;
            changed.notify_all();
        }
    }
    for (long long k = 0; k < total && writeError.empty(); ++k) {
        const std::size_t slot = static_cast<std::size_t>(k % static_cast<long long>(ring));
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return failed || ready[slot] == k; });
            if (failed)
                break;
        }
        if (!writeAll(fd, slots[slot].data(), size)) {
            writeError = "cannot write " + tape.output + ": " + std::strerror(errno);
            std::lock_guard lock(mutex);
            failed = true;
            changed.notify_all();
            break;
        }
        std::lock_guard lock(mutex);
        ready[slot] = -1;
        ++written;
        changed.notify_all();
    }
    for (auto& t : workers)
        t.join();

    if (!failed && ::close(fd) != 0) {
        writeError = "cannot write " + tape.output + ": " + std::strerror(errno);
        failed = true;
    } else if (failed) {
        ::close(fd);
    }
    if (!failed && ::rename(temp.c_str(), tape.output.c_str()) != 0) {
        writeError = "cannot write " + tape.output + ": " + std::strerror(errno);
        failed = true;
    }
    if (failed) {
        ::unlink(temp.c_str());
        error = !writeError.empty() ? writeError : failure;
        return false;
    }
    return true;
}

} // namespace thtape
