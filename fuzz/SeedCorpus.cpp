// Writes a small starting corpus for every fuzz target, made by our own encoders, so that the fuzzers
// begin from well-formed messages instead of discovering the format byte by byte:
//   kelvora_fuzz_seeds DIRECTORY   (creates DIRECTORY/<target>/seed-N)

#include <avahi-common/strlst.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "core/ControlMessage.h"
#include "core/ServiceAnnouncement.h"
#include "core/SimpleStreamProtocol.h"
#include "fuzz/TypeCodes.h"
#include "platform/AvahiStrings.h"
#include "receiver/session/TestStreams.h"
#include "tests/support/SampleMessages.h"

using namespace kelvora;

namespace {

// The chunked form the framing targets read: a size byte before each piece of the stream.
Bytes inChunks(ByteView stream, const std::vector<uint8_t>& prefix) {
    Bytes input;
    for (size_t offset = 0; offset < stream.size(); offset += 255) {
        const auto piece = stream.subspan(offset, std::min<size_t>(255, stream.size() - offset));
        input.insert(input.end(), prefix.begin(), prefix.end());
        input.push_back(static_cast<uint8_t>(piece.size()));
        input.insert(input.end(), piece.begin(), piece.end());
    }
    return input;
}

Bytes txtRecordData(const ServiceAnnouncement& announcement) {
    const auto list = avahi::toStringList(announcement.txtRecord());
    Bytes data(avahi_string_list_serialize(list.get(), nullptr, 0));
    avahi_string_list_serialize(list.get(), data.data(), data.size());
    return data;
}

class Corpus {
  public:
    explicit Corpus(std::filesystem::path root) : root_(std::move(root)) {}

    void add(const std::string& target, ByteView bytes) {
        const auto folder = root_ / target;
        std::filesystem::create_directories(folder);
        std::ofstream(folder / ("seed-" + std::to_string(counts_[target]++)), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

  private:
    std::filesystem::path root_;
    std::map<std::string, int> counts_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " DIRECTORY\n";
        return 2;
    }
    Corpus corpus(argv[1]);
    const auto& codes = fuzz::allTypeCodes();
    Bytes everything;
    for (const ControlMessage& message : testing::sampleOfEveryMessage()) {
        const Bytes frame = message.encoded();
        everything.insert(everything.end(), frame.begin(), frame.end());
        corpus.add("control_framing", inChunks(frame, {}));
        Bytes payload{
            static_cast<uint8_t>(std::find(codes.begin(), codes.end(), message.typeCode()) - codes.begin())};
        const Bytes body = message.encodePayload();
        payload.insert(payload.end(), body.begin(), body.end());
        corpus.add("control_payload", payload);
        if (const auto* videoFrame = message.get<EncodedVideoFrame>()) {
            corpus.add("encoded_frame", body);
            corpus.add("simple_stream",
                       SimpleStreamProtocol::message(
                           SimpleStreamProtocol::MessageType::parameterSets,
                           SimpleStreamProtocol::parameterSetsBody(videoFrame->parameterSets)));
            corpus.add("simple_stream", SimpleStreamProtocol::message(
                                            SimpleStreamProtocol::MessageType::frame,
                                            SimpleStreamProtocol::frameBody(true, videoFrame->captureTime,
                                                                            videoFrame->payload)));
        }
        if (message.is<WelcomeMessage>() || message.is<StreamInfoMessage>()) {
            Bytes record{static_cast<uint8_t>(message.is<WelcomeMessage>() ? 0 : 1)};
            record.insert(record.end(), body.begin(), body.end());
            corpus.add("sender_records", record);
        }
        if (const auto* timeSync = message.get<TimeSyncResponse>()) {
            corpus.add("time_sync", timeSync->binary());
        }
    }
    corpus.add("control_framing", inChunks(everything, {}));
    corpus.add("quic_byte_stream", inChunks(everything, {0, 0}));
    // A flood of the smallest message there is, as a hostile client sends it in one burst: 51 empty goodbyes
    // repeated to the most one input may deliver.
    Bytes goodbyes;
    for (int i = 0; i < 51; ++i) {
        const Bytes goodbye = ControlMessage(GoodbyeMessage{}).encoded();
        goodbyes.insert(goodbyes.end(), goodbye.begin(), goodbye.end());
    }
    corpus.add("quic_byte_stream", inChunks(goodbyes, {255, 255}));

    // A real keyframe as the sender's encoder makes it (libx264; libx265 leaves its own allocations behind,
    // which the sanitizers of this program would report), at two sizes.
    for (const VideoDimensions size : {VideoDimensions{320, 180}, VideoDimensions{64, 48}}) {
        test::TestEncoder encoder(size);
        corpus.add("decoder_size", encoder.encode(1'000'000, true).serialized());
    }

    ServiceAnnouncement announcement;
    announcement.senderID = "S-1";
    announcement.senderName = "Bühne";
    announcement.protocolVersion = 4;
    announcement.engines = {EngineKind::tcp(), EngineKind::quic()};
    announcement.state = StreamInfoMessage::State::live;
    announcement.sourceName = "Testbild";
    corpus.add("txt_record", txtRecordData(announcement));
    return 0;
}
