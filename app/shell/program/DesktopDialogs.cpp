#include "app/shell/program/DesktopDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

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

std::optional<std::filesystem::path> FileDialogPicker::choose(const FileRequest& request) {
    QStringList filters;
    for (const std::string& filter : request.nameFilters) {
        filters << QString::fromStdString(filter);
    }
    const QString file = QFileDialog::getOpenFileName(nullptr, QString::fromStdString(request.title),
                                                      QString::fromStdString(request.folder.string()),
                                                      filters.join(QStringLiteral(";;")));
    if (file.isEmpty()) {
        return std::nullopt;
    }
    return std::filesystem::path(file.toStdString());
}

}  // namespace kelvora
