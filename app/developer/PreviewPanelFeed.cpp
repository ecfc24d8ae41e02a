#include "app/developer/PreviewPanelFeed.h"

#include "app/model/ExtraOutput.h"
#include "app/model/SenderController.h"
#include "app/preview/PreviewRenderer.h"

namespace kelvora {
namespace {

VideoFeed* feedOf(QObject& owner, const std::shared_ptr<PreviewSink>& sink, const char* name) {
    if (auto* existing = owner.findChild<VideoFeed*>(name, Qt::FindDirectChildrenOnly)) {
        return existing;
    }
    auto* renderer = dynamic_cast<RendererPreview*>(sink.get());
    if (!renderer) {
        return nullptr;
    }
    auto* feed = new VideoFeed(renderer->renderer().display(), &owner);
    feed->setObjectName(name);
    return feed;
}

}  // namespace

VideoFeed* mainPreviewFeed(SenderController& controller) {
    return feedOf(controller, controller.previewRenderer(), "mainPreviewFeed");
}

VideoFeed* menuPreviewFeed(SenderController& controller) {
    return feedOf(controller, controller.menuPreviewRenderer(), "menuPreviewFeed");
}

VideoFeed* previewFeed(ExtraOutput& output) {
    return feedOf(output, output.previewRenderer(), "previewFeed");
}

QString tokenText(ColorToken token) {
    const std::string_view name = colorTokenName(token);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

}  // namespace kelvora
