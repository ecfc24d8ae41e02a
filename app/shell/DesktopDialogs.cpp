#include "app/shell/DesktopDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTranslator>

#include <system_error>

#include "core/Log.h"

namespace kelvora {

size_t MessageBoxAlertPresenter::run(const Alert& alert) {
    QMessageBox box;
    box.setText(QString::fromStdString(alert.message));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    std::vector<QAbstractButton*> buttons;
    for (const std::string& title : alert.buttons) {
        buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
    }
    QApplication::setActiveWindow(&box);
    box.exec();
    for (size_t index = 0; index < buttons.size(); ++index) {
        if (box.clickedButton() == buttons[index]) {
            return index;
        }
    }
    // Closed without a choice: the last button is the one that changes nothing.
    return buttons.empty() ? 0 : buttons.size() - 1;
}

FileDialogPicker::FileDialogPicker() : germanQtTexts_(std::make_unique<QTranslator>()) {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!germanQtTexts_->load(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("qtbase"),
                              QStringLiteral("_"), folder)) {
        Log::capture().warn("Qt-Übersetzung qtbase_de nicht gefunden in {}: der Dateidialog bleibt englisch",
                            folder.toStdString());
        germanQtTexts_.reset();
    }
}

FileDialogPicker::~FileDialogPicker() = default;

std::optional<std::filesystem::path> FileDialogPicker::choose(const FileRequest& request) {
    // Installed before the dialog is built: it takes its texts when it is made.
    struct Texts {
        QTranslator* translator;
        explicit Texts(QTranslator* t) : translator(t) {
            if (translator) {
                QCoreApplication::installTranslator(translator);
            }
        }
        ~Texts() {
            if (translator) {
                QCoreApplication::removeTranslator(translator);
            }
        }
    } texts(germanQtTexts_.get());

    QStringList filters;
    for (const std::string& filter : request.nameFilters) {
        filters << QString::fromStdString(filter);
    }
    QFileDialog dialog(nullptr, QString::fromStdString(request.title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    // A folder that is not there is no place to start: given as a path, Qt would put its last name into
    // the file-name field instead.
    std::error_code error;
    const bool folderExists = !request.folder.empty() && std::filesystem::is_directory(request.folder, error);
    dialog.setDirectory(folderExists ? QString::fromStdString(request.folder.string()) : QDir::homePath());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return std::filesystem::path(dialog.selectedFiles().constFirst().toStdString());
}

}  // namespace kelvora
