#include "app/developer/PreviewPanelModel.h"

#include "app/developer/PreviewPanelFeed.h"

namespace kelvora {

PreviewPanelModel::PreviewPanelModel(QObject* parent) : QObject(parent) {
    refresh();
}

void PreviewPanelModel::setController(SenderController* controller) {
    if (controller_ == controller) {
        return;
    }
    if (controller_) {
        disconnect(controller_, nullptr, this, nullptr);
    }
    controller_ = controller;
    feed_ = controller_ ? mainPreviewFeed(*controller_) : nullptr;
    if (controller_) {
        for (auto signal :
             {&SenderController::statusChanged, &SenderController::isPausedChanged,
              &SenderController::isMainSourcePausedChanged, &SenderController::cameraAuthorizationChanged}) {
            connect(controller_, signal, this, &PreviewPanelModel::refresh);
        }
    }
    emit controllerChanged();
    refresh();
}

void PreviewPanelModel::refresh() {
    PreviewPanelText text;
    QString title;
    QString detail;
    QString sourceName;
    if (controller_) {
        text =
            previewPanel(controller_->status(), controller_->isPaused(), controller_->cameraAuthorization());
        title = QString::fromStdString(controller_->statusTitle());
        detail = QString::fromStdString(controller_->statusDetail());
        sourceName = QString::fromStdString(controller_->status().sourceName);
    } else {
        text = previewPanel(SenderStatus{}, false, CameraAuthorization::notDetermined);
    }
    if (text == text_ && title == title_ && detail == detail_ && sourceName == sourceName_) {
        return;
    }
    text_ = text;
    title_ = title;
    detail_ = detail;
    sourceName_ = sourceName;
    emit changed();
}

QString PreviewPanelModel::tokenName() const {
    return tokenText(text_.badgeColor);
}

void PreviewPanelModel::allowCameraAccess() {
    if (controller_) {
        controller_->openCameraPrivacySettings();
    }
}

void PreviewPanelModel::resume() {
    if (controller_ && controller_->isPaused()) {
        controller_->togglePause();
    }
}

}  // namespace kelvora
