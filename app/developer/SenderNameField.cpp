#include "app/developer/SenderNameField.h"

#include "app/developer/SettingsFormPresenters.h"

namespace kelvora {

SenderNameField::SenderNameField(QObject* parent) : NameEdit(parent) {}

void SenderNameField::setControllerObject(QObject* object) {
    auto* controller = qobject_cast<SenderController*>(object);
    if (controller == controller_) {
        return;
    }
    if (controller_) {
        disconnect(controller_, nullptr, this, nullptr);
    }
    controller_ = controller;
    if (controller_) {
        connect(controller_, &SenderController::settingsChanged, this, &SenderNameField::follow);
    }
    emit controllerChanged();
    follow();
    load();
}

QString SenderNameField::placeholder() const {
    return controller_ ? QString::fromStdString(controller_->computerName()) : QString();
}

void SenderNameField::follow() {
    if (controller_) {
        setStored(QString::fromStdString(controller_->settings().senderName));
    }
}

void SenderNameField::write(const QString& text) {
    if (!controller_) {
        return;
    }
    const std::string name = committedSenderName(text.toStdString());
    if (name == controller_->settings().senderName) {
        return;
    }
    SenderSettings settings = controller_->settings();
    settings.senderName = name;
    controller_->setSettings(settings);
}

}  // namespace kelvora
