#include "app/developer/SenderNameField.h"

#include <algorithm>
#include <vector>

#include "app/developer/SettingsFormPresenters.h"

namespace kelvora {
namespace {

// The live fields (main thread only).
std::vector<SenderNameField*>& liveFields() {
    static std::vector<SenderNameField*> fields;
    return fields;
}

}  // namespace

SenderNameField::SenderNameField(QObject* parent) : QObject(parent) {
    liveFields().push_back(this);
}

SenderNameField::~SenderNameField() {
    std::erase(liveFields(), this);
}

void SenderNameField::setControllerObject(QObject* object) {
    auto* controller = qobject_cast<SenderController*>(object);
    if (controller == controller_) {
        return;
    }
    controller_ = controller;
    emit controllerChanged();
    load();
}

void SenderNameField::setText(const QString& text) {
    if (text != text_) {
        text_ = text;
        emit textChanged();
    }
}

void SenderNameField::setFocused(bool focused) {
    if (focused == focused_) {
        return;
    }
    focused_ = focused;
    emit focusedChanged();
    if (!focused) {
        commit();
    }
}

QString SenderNameField::placeholder() const {
    return controller_ ? QString::fromStdString(controller_->computerName()) : QString();
}

void SenderNameField::load() {
    if (controller_) {
        setText(QString::fromStdString(controller_->settings().senderName));
    }
}

void SenderNameField::commit() {
    if (!controller_) {
        return;
    }
    const std::string name = committedSenderName(text_.toStdString());
    if (name == controller_->settings().senderName) {
        return;
    }
    SenderSettings settings = controller_->settings();
    settings.senderName = name;
    controller_->setSettings(settings);
}

void SenderNameField::commitFocused() {
    // A commit can reach code that makes or drops fields; walk a copy.
    const std::vector<SenderNameField*> fields = liveFields();
    for (SenderNameField* field : fields) {
        if (std::ranges::find(liveFields(), field) != liveFields().end() && field->focused_) {
            field->commit();
        }
    }
}

}  // namespace kelvora
