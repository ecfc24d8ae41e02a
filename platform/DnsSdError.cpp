#include "platform/DnsSdError.h"

#include <avahi-common/error.h>

namespace kelvora {

DnsSdError DnsSdError::daemon(int code) {
    return DnsSdError(Kind::daemon, code, avahi_strerror(code));
}

bool DnsSdError::isPermissionDenied() const {
    return kind_ == Kind::daemon && (code_ == AVAHI_ERR_ACCESS_DENIED || code_ == AVAHI_ERR_NOT_PERMITTED);
}

}  // namespace kelvora
