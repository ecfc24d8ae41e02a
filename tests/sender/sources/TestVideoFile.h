#pragma once

// Small video files made with libavformat for the file-source tests: every picture is one flat grey level
// that names its index, so a test can tell which picture of the file it received.

#include "platform/PixelBuffer.h"
#include "sender/sources/Libav.h"
#include "support/TestIdentity.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace kelvora::testsupport {

// The luma level of picture `index`: far enough apart to survive lossy coding.
inline int greyLevelOf(int index) {
    return 16 + 4 * index;
}

// The picture index a received NV12 picture shows, judged by the luma at its centre; -1 when the level
// lies between two pictures' levels.
inline int pictureIndexOf(const PixelBuffer& nv12) {
    const int y = nv12.height() / 2;
    const int x = nv12.width() / 2;
    const int level = nv12.data(0)[static_cast<size_t>(y) * static_cast<size_t>(nv12.stride(0)) + x];
    const int index = (level - 16 + 2) / 4;
    return std::abs(greyLevelOf(index) - level) <= 1 ? index : -1;
}

inline void check(int result, const char* what) {
    if (result < 0) {
        throw std::runtime_error(std::string(what) + ": " + libav::errorText(result));
    }
}

// Writes `frameCount` pictures of `width` × `height` at `frameRate` frames per second as H.264 in an MP4
// file (at most 50 pictures, so that the grey levels stay apart).
inline void writeGreyVideo(const std::filesystem::path& path, int width, int height, int frameRate,
                           int frameCount) {
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()), "container");
    libav::OutputContext output(raw);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    libav::CodecContext encoder(avcodec_alloc_context3(codec));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, frameRate};
    encoder->framerate = AVRational{frameRate, 1};
    if ((output->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    av_opt_set(encoder->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoder->priv_data, "crf", "10", 0);
    check(avcodec_open2(encoder.get(), codec, nullptr), "encoder");
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    check(avcodec_parameters_from_context(stream->codecpar, encoder.get()), "stream");
    stream->time_base = encoder->time_base;
    check(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), "file");
    check(avformat_write_header(output.get(), nullptr), "header");

    libav::Frame picture(av_frame_alloc());
    picture->format = encoder->pix_fmt;
    picture->width = width;
    picture->height = height;
    check(av_frame_get_buffer(picture.get(), 0), "picture");
    libav::Packet packet(av_packet_alloc());
    auto drain = [&] {
        while (avcodec_receive_packet(encoder.get(), packet.get()) == 0) {
            // Every picture lasts one tick of the encoder's time base; without it the container's last
            // picture has no length and the file reads as shorter, at a higher frame rate.
            if (packet->duration == 0) {
                packet->duration = 1;
            }
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = stream->index;
            check(av_interleaved_write_frame(output.get(), packet.get()), "write");
        }
    };
    for (int i = 0; i < frameCount; ++i) {
        check(av_frame_make_writable(picture.get()), "picture");
        std::memset(picture->data[0], greyLevelOf(i), static_cast<size_t>(picture->linesize[0]) * height);
        for (int plane = 1; plane < 3; ++plane) {
            std::memset(picture->data[plane], 128,
                        static_cast<size_t>(picture->linesize[plane]) * ((height + 1) / 2));
        }
        picture->pts = i;
        check(avcodec_send_frame(encoder.get(), picture.get()), "encode");
        drain();
    }
    check(avcodec_send_frame(encoder.get(), nullptr), "flush");
    drain();
    check(av_write_trailer(output.get()), "trailer");
}

// A WAV file of one second of silence: a real media file without any video.
inline void writeAudioOnlyFile(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, "wav", path.c_str()), "container");
    libav::OutputContext output(raw);
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    stream->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    stream->codecpar->sample_rate = 8000;
    av_channel_layout_default(&stream->codecpar->ch_layout, 1);
    stream->codecpar->bits_per_coded_sample = 16;
    stream->codecpar->block_align = 2;
    stream->time_base = AVRational{1, 8000};
    check(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), "file");
    check(avformat_write_header(output.get(), nullptr), "header");
    libav::Packet packet(av_packet_alloc());
    check(av_new_packet(packet.get(), 16000), "packet");
    std::memset(packet->data, 0, 16000);
    packet->pts = 0;
    packet->dts = 0;
    packet->duration = 8000;
    packet->stream_index = 0;
    check(av_write_frame(output.get(), packet.get()), "write");
    check(av_write_trailer(output.get()), "trailer");
}

using test::TemporaryFolder;

}  // namespace kelvora::testsupport
