#pragma once

#include "app/model/PlatformServices.h"

namespace kelvora {

// The controller's questions and file choices as the desktop's own dialogs.
class MessageBoxAlertPresenter final : public AlertPresenter {
  public:
    size_t run(const Alert& alert) override;
};

class FileDialogPicker final : public FilePicker {
  public:
    std::optional<std::filesystem::path> choose(const FileRequest& request) override;
};

}  // namespace kelvora
