#pragma once

#include <QString>

#include "app/presenters/StatusColor.h"
#include "receiver/session/views/VideoItem.h"

namespace kelvora {

class SenderController;
class ExtraOutput;
class PreviewSink;

// The one video feed of each preview renderer, owned by the object that owns the renderer: a renderer shows
// its pictures in one item at a time, and two feeds of one renderer would take it from each other when one
// of them goes (as when the dashboard and the simple view swap places). Null for a sink that is not shown on
// screen (programs and tests without one). GUI thread only.
VideoFeed* mainPreviewFeed(SenderController& controller);
VideoFeed* menuPreviewFeed(SenderController& controller);
VideoFeed* previewFeed(ExtraOutput& output);

// A colour token as the theme takes it.
QString tokenText(ColorToken token);

}  // namespace kelvora
