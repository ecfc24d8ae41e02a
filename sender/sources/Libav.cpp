#include "sender/sources/Libav.h"

namespace kelvora::libav {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0) {
        return "Fehler " + std::to_string(code);
    }
    return text;
}

}  // namespace kelvora::libav
