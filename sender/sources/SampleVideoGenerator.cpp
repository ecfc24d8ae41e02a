#include "sender/sources/SampleVideoGenerator.h"

#include "core/Log.h"
#include "platform/Uuid.h"
#include "sender/sources/Libav.h"
#include "sender/sources/SampleVideoPainter.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <system_error>

namespace kelvora {

SampleVideoError::SampleVideoError(Kind kind, std::string detail)
    : std::runtime_error("Das Beispielvideo konnte nicht erzeugt werden."),
      kind_(kind),
      detail_(std::move(detail)) {}

SampleVideoError SampleVideoError::writeFailed(std::string detail) {
    return SampleVideoError(Kind::writeFailed, std::move(detail));
}

namespace {

constexpr int bitRate = 30'000'000;

void check(int result, const char* step) {
    if (result < 0) {
        throw SampleVideoError::writeFailed(std::string(step) + ": " + libav::errorText(result));
    }
}

// One encoding run: the muxer, the H.264 encoder and the conversion from the painted BGRA picture.
class ClipWriter {
  public:
    explicit ClipWriter(const std::filesystem::path& file) {
        AVFormatContext* raw = nullptr;
        check(avformat_alloc_output_context2(&raw, nullptr, "mov", file.c_str()), "Container");
        output_.reset(raw);

        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr) {
            throw SampleVideoError::writeFailed("kein H.264-Encoder (libx264)");
        }
        encoder_.reset(avcodec_alloc_context3(codec));
        const VideoDimensions size = SampleVideoGenerator::dimensions;
        encoder_->width = size.width;
        encoder_->height = size.height;
        encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder_->time_base = AVRational{1, SampleVideoGenerator::frameRate};
        encoder_->framerate = AVRational{SampleVideoGenerator::frameRate, 1};
        encoder_->bit_rate = bitRate;
        encoder_->color_range = AVCOL_RANGE_MPEG;
        encoder_->colorspace = AVCOL_SPC_BT709;
        encoder_->color_primaries = AVCOL_PRI_BT709;
        encoder_->color_trc = AVCOL_TRC_BT709;
        if ((output_->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        // Written once while the user waits; at this bitrate a fast preset loses nothing visible.
        av_opt_set(encoder_->priv_data, "preset", "superfast", 0);
        check(avcodec_open2(encoder_.get(), codec, nullptr), "Encoder");

        stream_ = avformat_new_stream(output_.get(), nullptr);
        if (stream_ == nullptr) {
            throw SampleVideoError::writeFailed("Videospur");
        }
        check(avcodec_parameters_from_context(stream_->codecpar, encoder_.get()), "Videospur");
        stream_->time_base = encoder_->time_base;
        stream_->avg_frame_rate = encoder_->framerate;

        check(avio_open(&output_->pb, file.c_str(), AVIO_FLAG_WRITE), "Datei");
        check(avformat_write_header(output_.get(), nullptr), "Kopf");

        picture_.reset(av_frame_alloc());
        picture_->format = AV_PIX_FMT_BGRA;
        picture_->width = size.width;
        picture_->height = size.height;
        check(av_frame_get_buffer(picture_.get(), 0), "Bildpuffer");
        encoded_.reset(av_frame_alloc());
        encoded_->format = encoder_->pix_fmt;
        encoded_->width = size.width;
        encoded_->height = size.height;
        encoded_->color_range = encoder_->color_range;
        encoded_->colorspace = encoder_->colorspace;
        encoded_->color_primaries = encoder_->color_primaries;
        encoded_->color_trc = encoder_->color_trc;
        check(av_frame_get_buffer(encoded_.get(), 0), "Bildpuffer");

        scale_.reset(sws_getContext(size.width, size.height, AV_PIX_FMT_BGRA, size.width, size.height,
                                    encoder_->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!scale_) {
            throw SampleVideoError::writeFailed("Farbumwandlung");
        }
        // BT.709 into video range, matching what the stream says about itself.
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(scale_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
        packet_.reset(av_packet_alloc());
    }

    void addFrame(SampleVideoPainter& painter, int index, int total) {
        // The encoder may still hold a reference to the previous picture.
        check(av_frame_make_writable(picture_.get()), "Bildpuffer");
        check(av_frame_make_writable(encoded_.get()), "Bildpuffer");
        painter.draw(picture_->data[0], picture_->linesize[0], index, total);
        sws_scale(scale_.get(), picture_->data, picture_->linesize, 0, picture_->height, encoded_->data,
                  encoded_->linesize);
        encoded_->pts = index;
        check(avcodec_send_frame(encoder_.get(), encoded_.get()), "Kodieren");
        drain();
    }

    void finish() {
        check(avcodec_send_frame(encoder_.get(), nullptr), "Kodieren");
        drain();
        check(av_write_trailer(output_.get()), "Abschluss");
        check(avio_closep(&output_->pb), "Datei");
    }

  private:
    void drain() {
        while (true) {
            const int result = avcodec_receive_packet(encoder_.get(), packet_.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return;
            }
            check(result, "Kodieren");
            // Every picture lasts one tick of the encoder's time base; without it the container's last
            // picture has no length and the file reads as shorter, at a higher frame rate.
            if (packet_->duration == 0) {
                packet_->duration = 1;
            }
            av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            check(av_interleaved_write_frame(output_.get(), packet_.get()), "Schreiben");
        }
    }

    libav::OutputContext output_;
    libav::CodecContext encoder_;
    AVStream* stream_ = nullptr;
    libav::Frame picture_;
    libav::Frame encoded_;
    libav::ScaleContext scale_;
    libav::Packet packet_;
};

}  // namespace

std::filesystem::path SampleVideoGenerator::outputPath(const std::filesystem::path& folder) {
    return folder / fileName;
}

bool SampleVideoGenerator::exists(const std::filesystem::path& folder) {
    std::error_code error;
    return std::filesystem::exists(outputPath(folder), error);
}

std::filesystem::path SampleVideoGenerator::generate(const std::filesystem::path& folder,
                                                     std::stop_token stop, int frames) {
    const std::filesystem::path output = outputPath(folder);
    if (exists(folder)) {
        return output;
    }
    std::filesystem::create_directories(folder);
    const std::filesystem::path temporary = folder / ("Beispielvideo-" + newUuid() + ".mov");
    try {
        write(temporary, stop, frames);
        // rename replaces an existing file atomically, so the clip is either whole or absent.
        std::filesystem::rename(temporary, output);
    } catch (const SampleVideoError& error) {
        Log::capture().error("Beispielvideo: {}", error.detail());
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    }
    Log::capture().info("Beispielvideo erzeugt");
    return output;
}

void SampleVideoGenerator::write(const std::filesystem::path& file, std::stop_token stop, int frames) {
    SampleVideoPainter painter(dimensions);
    ClipWriter writer(file);
    for (int index = 0; index < frames; ++index) {
        if (stop.stop_requested()) {
            throw std::system_error(std::make_error_code(std::errc::operation_canceled));
        }
        writer.addFrame(painter, index, frames);
    }
    writer.finish();
}

}  // namespace kelvora
