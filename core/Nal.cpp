#include "core/Nal.h"

#include "core/WireError.h"

namespace kelvora::nal {
namespace {

constexpr uint8_t kStartCode[] = {0, 0, 0, 1};

void appendLengthPrefixed(Bytes& out, ByteView unit) {
    auto size = static_cast<uint32_t>(unit.size());
    out.push_back(static_cast<uint8_t>(size >> 24));
    out.push_back(static_cast<uint8_t>(size >> 16));
    out.push_back(static_cast<uint8_t>(size >> 8));
    out.push_back(static_cast<uint8_t>(size));
    out.insert(out.end(), unit.begin(), unit.end());
}

void appendStartCoded(Bytes& out, ByteView unit) {
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

std::optional<uint8_t> type(VideoCodec codec, ByteView unit) {
    if (codec == VideoCodec::hevc) {
        // Two header bytes: forbidden bit, six type bits, layer id, temporal id.
        if (unit.size() < 2) {
            return std::nullopt;
        }
        return static_cast<uint8_t>((unit[0] >> 1) & 0x3F);
    }
    if (unit.empty()) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(unit[0] & 0x1F);
}

bool isParameterSet(VideoCodec codec, ByteView unit) {
    auto kind = type(codec, unit);
    if (!kind) {
        return false;
    }
    if (codec == VideoCodec::hevc) {
        return *kind == hevc::vps || *kind == hevc::sps || *kind == hevc::pps;
    }
    return *kind == h264::sps || *kind == h264::pps;
}

bool isAccessUnitDelimiter(VideoCodec codec, ByteView unit) {
    auto kind = type(codec, unit);
    return kind &&
           *kind == (codec == VideoCodec::hevc ? hevc::accessUnitDelimiter : h264::accessUnitDelimiter);
}

bool startsWithStartCode(ByteView data) {
    if (data.size() >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
        return true;
    }
    return data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
}

std::vector<ByteView> splitAnnexB(ByteView annexB) {
    std::vector<ByteView> units;
    const size_t size = annexB.size();
    // Start of the current unit's bytes, once a start code has been seen.
    std::optional<size_t> unitStart;
    auto finishUnit = [&](size_t end) {
        if (!unitStart) {
            return;
        }
        // A unit never ends in a zero byte (its last byte holds the stop bit, or an emulation prevention
        // byte protects a trailing zero), so trailing zeros are padding or the next 4-byte start code.
        while (end > *unitStart && annexB[end - 1] == 0) {
            --end;
        }
        if (end > *unitStart) {
            units.push_back(annexB.subspan(*unitStart, end - *unitStart));
        }
    };
    size_t i = 2;
    while (i < size) {
        if (annexB[i] > 1) {
            // No start code can end in the next two positions either.
            i += 3;
            continue;
        }
        if (annexB[i] == 1 && annexB[i - 1] == 0 && annexB[i - 2] == 0) {
            finishUnit(i - 2);
            unitStart = i + 1;
            i += 3;
            continue;
        }
        ++i;
    }
    finishUnit(size);
    return units;
}

std::vector<ByteView> splitLengthPrefixed(ByteView payload) {
    std::vector<ByteView> units;
    size_t offset = 0;
    while (offset < payload.size()) {
        if (payload.size() - offset < 4) {
            throw WireError::truncated();
        }
        size_t length = (size_t{payload[offset]} << 24) | (size_t{payload[offset + 1]} << 16) |
                        (size_t{payload[offset + 2]} << 8) | size_t{payload[offset + 3]};
        offset += 4;
        if (length > payload.size() - offset) {
            throw WireError::truncated();
        }
        if (length > 0) {
            units.push_back(payload.subspan(offset, length));
        }
        offset += length;
    }
    return units;
}

Bytes toLengthPrefixed(ByteView annexB, VideoCodec codec) {
    Bytes out;
    out.reserve(annexB.size() + 16);
    for (ByteView unit : splitAnnexB(annexB)) {
        if (isParameterSet(codec, unit) || isAccessUnitDelimiter(codec, unit)) {
            continue;
        }
        appendLengthPrefixed(out, unit);
    }
    return out;
}

Bytes toAnnexB(ByteView lengthPrefixed) {
    Bytes out;
    out.reserve(lengthPrefixed.size() + 16);
    for (ByteView unit : splitLengthPrefixed(lengthPrefixed)) {
        appendStartCoded(out, unit);
    }
    return out;
}

Bytes joinAnnexB(const std::vector<Bytes>& units) {
    Bytes out;
    for (const Bytes& unit : units) {
        if (!unit.empty()) {
            appendStartCoded(out, unit);
        }
    }
    return out;
}

}  // namespace kelvora::nal
