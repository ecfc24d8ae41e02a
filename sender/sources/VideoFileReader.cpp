#include "sender/sources/VideoFileReader.h"

#include <cmath>

namespace kelvora {

VideoFileError VideoFileError::cannotRead(const std::string& reason) {
    return VideoFileError(Kind::cannotRead, "Die Videodatei kann nicht gelesen werden: " + reason);
}

VideoFileError VideoFileError::noVideoTrack() {
    return VideoFileError(Kind::noVideoTrack, "Die Datei enthält keine Videospur.");
}

namespace {

libav::InputContext openInput(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    const int opened = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (opened < 0) {
        throw VideoFileError::cannotRead(libav::errorText(opened));
    }
    libav::InputContext input(raw);
    const int probed = avformat_find_stream_info(input.get(), nullptr);
    if (probed < 0) {
        throw VideoFileError::cannotRead(libav::errorText(probed));
    }
    return input;
}

// The first real video stream; a cover picture in an audio file is a still image, not a track to play.
int firstVideoStream(const AVFormatContext& input) {
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream& stream = *input.streams[i];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

double rateOf(AVRational rate) {
    if (rate.num <= 0 || rate.den <= 0) {
        return 0;
    }
    return av_q2d(rate);
}

}  // namespace

VideoFileAsset VideoFileAsset::load(const std::filesystem::path& path) {
    libav::InputContext input = openInput(path);
    const int index = firstVideoStream(*input);
    if (index < 0) {
        throw VideoFileError::noVideoTrack();
    }
    const AVStream& stream = *input->streams[index];
    double rate = rateOf(stream.avg_frame_rate);
    if (rate == 0) {
        rate = rateOf(stream.r_frame_rate);
    }
    return VideoFileAsset{path, rate};
}

VideoFileReader::VideoFileReader(const std::filesystem::path& path) : input_(openInput(path)) {
    streamIndex_ = firstVideoStream(*input_);
    if (streamIndex_ < 0) {
        throw VideoFileError::noVideoTrack();
    }
    const AVCodecParameters& parameters = *input_->streams[streamIndex_]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
    if (codec == nullptr) {
        throw VideoFileError::cannotRead(std::string("kein Decoder für ") +
                                         avcodec_get_name(parameters.codec_id));
    }
    decoder_.reset(avcodec_alloc_context3(codec));
    int result = avcodec_parameters_to_context(decoder_.get(), &parameters);
    if (result >= 0) {
        decoder_->thread_count = 0;
        result = avcodec_open2(decoder_.get(), codec, nullptr);
    }
    if (result < 0) {
        throw VideoFileError::cannotRead(libav::errorText(result));
    }
    // Other streams (audio, subtitles) are never decoded; let the demuxer skip their packets.
    for (unsigned i = 0; i < input_->nb_streams; ++i) {
        if (static_cast<int>(i) != streamIndex_) {
            input_->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    packet_.reset(av_packet_alloc());
    picture_.reset(av_frame_alloc());
}

bool VideoFileReader::rewind() {
    const AVStream& stream = *input_->streams[streamIndex_];
    const int64_t start = stream.start_time == AV_NOPTS_VALUE ? 0 : stream.start_time;
    if (av_seek_frame(input_.get(), streamIndex_, start, AVSEEK_FLAG_BACKWARD) < 0) {
        return false;
    }
    avcodec_flush_buffers(decoder_.get());
    draining_ = false;
    finished_ = false;
    return true;
}

AVFrame* VideoFileReader::next() {
    while (!finished_) {
        const int received = avcodec_receive_frame(decoder_.get(), picture_.get());
        if (received == 0) {
            return picture_.get();
        }
        if (received != AVERROR(EAGAIN) || draining_) {
            // The end of the pass, or a decoder that cannot go on.
            finished_ = true;
            break;
        }
        const int read = av_read_frame(input_.get(), packet_.get());
        if (read < 0) {
            // End of file (or a read error): let the decoder hand out the pictures it still holds.
            avcodec_send_packet(decoder_.get(), nullptr);
            draining_ = true;
            continue;
        }
        if (packet_->stream_index == streamIndex_) {
            // A damaged packet costs its picture, not the pass.
            avcodec_send_packet(decoder_.get(), packet_.get());
        }
        av_packet_unref(packet_.get());
    }
    return nullptr;
}

}  // namespace kelvora
