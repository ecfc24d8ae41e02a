#pragma once

#include <memory>

#include "app/model/PlatformServices.h"

class QTranslator;

namespace kelvora {

// The controller's questions and file choices as the desktop's own dialogs.
class MessageBoxAlertPresenter final : public AlertPresenter {
  public:
    size_t run(const Alert& alert) override;
};

// Qt's own file dialog, never the desktop's: only Qt's can be given German texts (Qt's German translation,
// which the dialog's labels, buttons, columns and tool tips come from). It starts in the requested folder
// where that exists, else in the home folder, and with its file-name field empty.
class FileDialogPicker final : public FilePicker {
  public:
    FileDialogPicker();
    ~FileDialogPicker() override;

    std::optional<std::filesystem::path> choose(const FileRequest& request) override;

  private:
    // Held for the dialog's lifetime only: elsewhere the program names its keys as it writes them (Ctrl+Q
    // in its menus), which Qt's translation would turn into Strg+Q in the tray menu alone. Nothing when the
    // translation is not installed; the dialog then speaks Qt's English.
    std::unique_ptr<QTranslator> germanQtTexts_;
};

}  // namespace kelvora
