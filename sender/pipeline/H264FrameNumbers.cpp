#include "sender/pipeline/H264FrameNumbers.h"

#include "core/BitReader.h"
#include "core/ParameterSets.h"

#include <algorithm>
#include <iterator>

namespace kelvora::h264 {

namespace {

constexpr uint8_t spsType = 7;

// Appends a payload with emulation prevention bytes wherever two zeros would precede 0 to 3 or end the unit.
void escapeInto(const Bytes& payload, Bytes& out) {
    int zeros = 0;
    for (uint8_t byte : payload) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    if (!payload.empty() && payload.back() == 0)
        out.push_back(3);
}

class BitWriter {
  public:
    void bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i)
            bit((value >> i) & 1);
    }
    void unsignedGolomb(uint32_t value) {
        const uint64_t coded = uint64_t(value) + 1;
        int length = 0;
        while ((coded >> (length + 1)) != 0)
            ++length;
        bits(0, length);
        for (int i = length; i >= 0; --i)
            bit(uint32_t(coded >> i) & 1);
    }
    // Copies the bits [from, to) of `source`.
    void copy(const Bytes& source, size_t from, size_t to) {
        for (size_t position = from; position < to; ++position)
            bit((source[position / 8] >> (7 - position % 8)) & 1);
    }
    // The stop bit and the zero bits up to the next byte.
    Bytes finish() {
        bit(1);
        while (used_ != 0)
            bit(0);
        return std::move(bytes_);
    }

  private:
    void bit(uint32_t value) {
        if (used_ == 0)
            bytes_.push_back(0);
        if (value)
            bytes_.back() |= uint8_t(0x80 >> used_);
        used_ = (used_ + 1) % 8;
    }
    Bytes bytes_;
    int used_ = 0;
};

bool skipHypotheticalDecoder(BitReader& reader) {
    const auto count = reader.exponentialGolomb();
    if (!count || *count > 31)
        return false;
    reader.bits(8);  // bit rate and buffer size scales
    for (uint32_t i = 0; i <= *count; ++i) {
        if (!reader.exponentialGolomb() || !reader.exponentialGolomb())
            return false;
        reader.bits(1);
    }
    reader.bits(20);  // four delay and offset lengths
    return true;
}

struct ParsedSequence {
    SequenceSummary summary;
    H264SequenceHead head;
    Bytes payload;  // behind the header byte, without emulation prevention
};

std::optional<ParsedSequence> parse(ByteView sps) {
    if (sps.size() < 2 || (sps[0] & 0x1F) != spsType)
        return std::nullopt;
    BitReader reader(sps.data() + 1, sps.size() - 1);
    const auto head = ParameterSets::readH264SequenceHead(reader);
    if (!head || head->log2MaxFrameNumberMinus4 > 12)
        return std::nullopt;
    ParsedSequence parsed;
    parsed.head = *head;
    SequenceSummary& s = parsed.summary;
    s.profile = head->profile;
    s.level = head->level;
    s.log2MaxFrameNumber = int(head->log2MaxFrameNumberMinus4) + 4;
    s.referenceFrames = int(std::min<uint32_t>(head->referenceFrames, 1000));
    if (reader.bits(1)) {  // VUI
        if (reader.bits(1) && reader.bits(8) == 255)
            reader.bits(32);
        if (reader.bits(1))
            reader.bits(1);
        if (reader.bits(1)) {
            reader.bits(4);
            if (reader.bits(1))
                reader.bits(24);
        }
        if (reader.bits(1) && (!reader.exponentialGolomb() || !reader.exponentialGolomb()))
            return std::nullopt;
        if (reader.bits(1)) {
            reader.bits(32);
            reader.bits(32);
            reader.bits(1);
        }
        const bool nal = reader.bits(1) != 0;
        if (nal && !skipHypotheticalDecoder(reader))
            return std::nullopt;
        const bool vcl = reader.bits(1) != 0;
        if (vcl && !skipHypotheticalDecoder(reader))
            return std::nullopt;
        if (nal || vcl)
            reader.bits(1);
        reader.bits(1);  // picture structure
        if (reader.bits(1)) {
            reader.bits(1);
            for (int i = 0; i < 5; ++i)
                if (!reader.exponentialGolomb())
                    return std::nullopt;
            const auto buffering = reader.exponentialGolomb();
            if (!buffering)
                return std::nullopt;
            s.maxDecFrameBuffering = int(std::min<uint32_t>(*buffering, 1000));
        }
    }
    if (reader.isExhausted())
        return std::nullopt;
    parsed.payload = reader.takeBytes();
    return parsed;
}

}  // namespace

std::optional<SequenceSummary> readSequence(ByteView sps) {
    auto parsed = parse(sps);
    if (!parsed)
        return std::nullopt;
    return parsed->summary;
}

std::optional<FrameNumberWidener> FrameNumberWidener::forSequence(ByteView sps) {
    auto parsed = parse(sps);
    if (!parsed || parsed->summary.log2MaxFrameNumber + extraBits > 16)
        return std::nullopt;
    FrameNumberWidener widener(parsed->summary.log2MaxFrameNumber);
    if (!widener.sequence(sps))
        return std::nullopt;
    return widener;
}

std::optional<Bytes> FrameNumberWidener::sequence(ByteView sps) const {
    auto parsed = parse(sps);
    if (!parsed || parsed->summary.log2MaxFrameNumber != log2Original_)
        return std::nullopt;
    const Bytes& payload = parsed->payload;
    // The stop bit is the last bit set.
    auto last = std::find_if(payload.rbegin(), payload.rend(), [](uint8_t byte) { return byte != 0; });
    if (last == payload.rend())
        return std::nullopt;
    const size_t lastByte = size_t(std::distance(last, payload.rend())) - 1;
    size_t stop = lastByte * 8 + 7;
    while (((payload[lastByte] >> (7 - stop % 8)) & 1) == 0)
        --stop;
    if (stop < parsed->head.frameNumberSizeEnd)
        return std::nullopt;
    BitWriter writer;
    writer.copy(payload, 0, parsed->head.frameNumberSizeAt);
    writer.unsignedGolomb(uint32_t(log2Original_ + extraBits - 4));
    writer.copy(payload, parsed->head.frameNumberSizeEnd, stop);
    Bytes out{sps[0]};
    escapeInto(writer.finish(), out);
    return out;
}

Bytes FrameNumberWidener::slice(ByteView unit) {
    const uint8_t type = unit.empty() ? 0 : unit[0] & 0x1F;
    if (type != 1 && type != 5)
        return Bytes(unit.begin(), unit.end());
    BitReader reader(unit.data() + 1, unit.size() - 1);
    // first_mb_in_slice, slice_type, pic_parameter_set_id, then frame_num.
    for (int i = 0; i < 3; ++i)
        if (!reader.exponentialGolomb())
            return Bytes(unit.begin(), unit.end());
    const size_t at = reader.position();
    const uint64_t low = reader.bits(log2Original_);
    if (reader.isExhausted())
        return Bytes(unit.begin(), unit.end());
    Bytes payload = reader.takeBytes();
    const uint64_t period = uint64_t(1) << log2Original_;
    // libx264 numbers on by one per reference picture, so the low bits move forward by less than a period.
    frameNumber_ = type == 5 ? low : frameNumber_ + ((low - frameNumber_) & (period - 1));
    const uint8_t high = uint8_t(frameNumber_ >> log2Original_);

    // Eight bits go in before the original ones; every later bit keeps its place within its byte.
    const size_t index = at / 8;
    const int offset = int(at % 8);
    const uint8_t split = payload[index];
    const uint8_t keep = uint8_t(0xFF00 >> offset);  // the bits before the number
    const uint8_t first = uint8_t((split & keep) | (high >> offset));
    const uint8_t second = uint8_t(((high << (8 - offset)) & 0xFF) | (split & ~keep));
    payload[index] = second;
    payload.insert(payload.begin() + std::ptrdiff_t(index), first);
    Bytes out{unit[0]};
    out.reserve(payload.size() + payload.size() / 64 + 2);
    escapeInto(payload, out);
    return out;
}

}  // namespace kelvora::h264
