#pragma once

#include <vector>

#include "core/ControlMessage.h"

namespace kelvora::fuzz {

// Every control type code in byte order: an input's first byte picks one by its position.
inline const std::vector<ControlMessage::TypeCode>& allTypeCodes() {
    static const std::vector<ControlMessage::TypeCode> codes = [] {
        std::vector<ControlMessage::TypeCode> found;
        for (int byte = 0; byte < 256; ++byte) {
            if (const auto code = controlTypeCode(static_cast<uint8_t>(byte))) {
                found.push_back(*code);
            }
        }
        return found;
    }();
    return codes;
}

}  // namespace kelvora::fuzz
