#include "AvRead.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

#include <algorithm>
#include <cstdio>

namespace avread {

std::uint64_t Hash(const void* data, std::size_t n)
{
    std::uint64_t h = 1469598103934665603ull;
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

double ToneHz(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t to, int rate)
{
    // The median period between rising zero crossings (placed between the
    // samples), so that a stretch of silence where a frame was lost does not
    // count.
    to = std::min(to, pcm.size());
    std::vector<double> rising;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i)
        if (pcm[i - 1] < 0 && pcm[i] > 0)
            rising.push_back(double(i - 1) + double(-pcm[i - 1]) / double(pcm[i] - pcm[i - 1]));
    if (rising.size() < 3 || rate <= 0)
        return 0;
    std::vector<double> periods;
    for (std::size_t k = 1; k < rising.size(); ++k)
        periods.push_back(rising[k] - rising[k - 1]);
    std::nth_element(periods.begin(), periods.begin() + std::ptrdiff_t(periods.size() / 2), periods.end());
    return rate / periods[periods.size() / 2];
}

File Read(const std::string& path, bool readPackets, bool probeStreams, bool keepSound)
{
    File f;
    av_log_set_level(AV_LOG_ERROR);
    AVFormatContext* ctx = nullptr;
    const AVInputFormat* avi = probeStreams ? nullptr : av_find_input_format("avi");
    int r = avformat_open_input(&ctx, path.c_str(), avi, nullptr);
    if (r < 0) {
        char buf[128];
        av_strerror(r, buf, sizeof buf);
        f.error = buf;
        return f;
    }
    f.opened = true;
    if (probeStreams)
        avformat_find_stream_info(ctx, nullptr);
    if (ctx->duration != AV_NOPTS_VALUE)
        f.durationSec = static_cast<double>(ctx->duration) / AV_TIME_BASE;
    // Streams may appear while reading (the audio inside interleaved DV).
    auto describe = [&](unsigned i) {
        const AVStream* st = ctx->streams[i];
        Stream s;
        const char* type = av_get_media_type_string(st->codecpar->codec_type);
        s.type = type ? type : "";
        s.codec = avcodec_get_name(st->codecpar->codec_id);
        s.headerFrames = st->nb_frames;
        if (st->duration != AV_NOPTS_VALUE)
            s.durationSec = static_cast<double>(st->duration) * av_q2d(st->time_base);
        s.sampleRate = st->codecpar->sample_rate;
        s.channels = st->codecpar->ch_layout.nb_channels;
        s.width = st->codecpar->width;
        s.height = st->codecpar->height;
        s.indexEntries = avformat_index_get_entries_count(st);
        if (s.indexEntries > 0)
            s.lastIndexPos = avformat_index_get_entry(const_cast<AVStream*>(st), s.indexEntries - 1)->pos;
        f.streams.push_back(s);
    };
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
        describe(i);
    if (readPackets) {
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(ctx, pkt) >= 0) {
            while (f.streams.size() < ctx->nb_streams)
                describe(static_cast<unsigned>(f.streams.size()));
            if (pkt->stream_index >= 0 && static_cast<std::size_t>(pkt->stream_index) < f.streams.size()) {
                Stream& s = f.streams[static_cast<std::size_t>(pkt->stream_index)];
                ++s.packets;
                if (pkt->size == 0)
                    ++s.emptyPackets;
                s.bytes += pkt->size;
                s.hashes.push_back(Hash(pkt->data, static_cast<std::size_t>(pkt->size)));
                if (keepSound && s.codec == "pcm_s16le" && s.channels > 0)
                    for (int i = 0; i + 2 * s.channels <= pkt->size; i += 2 * s.channels)
                        s.left.push_back(static_cast<std::int16_t>(pkt->data[i] | pkt->data[i + 1] << 8));
            }
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&ctx);
    return f;
}

} // namespace avread

namespace avread {

std::uint64_t HashOfVideoPacket(const std::string& path, std::int64_t frame)
{
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), av_find_input_format("avi"), nullptr) < 0)
        return 0;
    std::uint64_t h = 0;
    if (av_seek_frame(ctx, 0, frame, AVSEEK_FLAG_ANY) >= 0) {
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(ctx, pkt) >= 0) {
            const bool mine = pkt->stream_index == 0;
            if (mine)
                h = Hash(pkt->data, static_cast<std::size_t>(pkt->size));
            av_packet_unref(pkt);
            if (mine)
                break;
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&ctx);
    return h;
}

std::string FileSha256(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {};
    AVSHA* sha = av_sha_alloc();
    av_sha_init(sha, 256);
    std::vector<std::uint8_t> buf(1 << 16);
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0;)
        av_sha_update(sha, buf.data(), static_cast<unsigned>(n));
    std::fclose(f);
    std::uint8_t digest[32];
    av_sha_final(sha, digest);
    av_free(sha);
    std::string hex;
    char two[3];
    for (const std::uint8_t b : digest) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

} // namespace avread
