#pragma once

#include <string>

#include "app/model/PlatformServices.h"
#include "sender/pipeline/SenderStatus.h"

namespace kelvora {

// The one-line status of the main output for the tray, the main window and the dashboard.
std::string statusTitle(const SenderStatus& status, bool paused, bool mainSourcePaused);
std::string statusDetail(const SenderStatus& status, CameraAuthorization camera);

// The sender name without spaces and tabs around it (line breaks stay); the computer's name when nothing
// is left.
std::string displayName(const std::string& senderName, const HostInfo& host);

}  // namespace kelvora
