// The binary encoded-frame format: whatever it accepts it writes back byte for byte.

#include "core/EncodedVideoFrame.h"
#include "core/WireError.h"
#include "fuzz/FuzzInput.h"

#include <algorithm>

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView bytes(data, size);
    EncodedVideoFrame frame;
    try {
        frame = EncodedVideoFrame::fromSerialized(bytes);
    } catch (const WireError&) {
        return 0;
    }
    KELVORA_FUZZ_CHECK(frame.serializedByteCount() == size);
    const Bytes written = frame.serialized();
    KELVORA_FUZZ_CHECK(std::equal(written.begin(), written.end(), bytes.begin(), bytes.end()));
    return 0;
}
