#include "app/shell/DesktopDialogs.h"

#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <filesystem>

#include <gtest/gtest.h>

namespace kelvora {
namespace {

// The file chooser speaks German, starts in the requested folder only where it exists (else at home) and
// never puts a missing folder's name into its file-name field.
TEST(DesktopDialogs, FileChooserIsGermanAndStartsInAFolderThatExists) {
    const auto root = std::filesystem::temp_directory_path() / ("dialogs-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "Filme");
    const struct {
        std::filesystem::path folder;
        std::string directory;
    } cases[] = {{root / "Filme", (root / "Filme").string()},
                 {root / "Videos", QDir::homePath().toStdString()},
                 {{}, QDir::homePath().toStdString()}};
    for (const auto& c : cases) {
        std::string directory, name, nameLabel, cancel;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog) {
                return;
            }
            directory = dialog->directory().absolutePath().toStdString();
            const auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            name = field ? field->text().toStdString() : "(no field)";
            nameLabel = dialog->labelText(QFileDialog::FileName).toStdString();
            cancel = dialog->labelText(QFileDialog::Reject).toStdString();
            dialog->reject();
        });
        look.start(10);
        FileDialogPicker picker;
        EXPECT_EQ(picker.choose({"Videodatei zum Senden wählen", c.folder, {"Videodateien (*.mov *.mp4)"}}),
                  std::nullopt);
        EXPECT_EQ(directory, c.directory) << c.folder;
        EXPECT_EQ(name, "") << c.folder;
        EXPECT_EQ(nameLabel, "Datei&name:") << c.folder;
        EXPECT_EQ(cancel, "Abbrechen") << c.folder;
    }
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace kelvora
