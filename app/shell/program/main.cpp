// The sender as a desktop program: one instance per user, the controller with its outputs, the windows
// "main", "settings" and "licenses", and the commands of the menu bar and the keyboard.
//
//     tilvara-sender [--remove-login-item] [--help]

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QQmlEngine>
#include <QQmlEngineExtensionPlugin>
#include <QQuickWindow>
#include <QRect>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "app/developer/PreviewVisibility.h"
#include "app/model/SenderController.h"
#include "app/model/Updater.h"
#include "app/shell/DesktopDialogs.h"
#include "app/shell/MainWindowModel.h"
#include "app/shell/OnboardingModel.h"
#include "app/shell/SettingsWindowModel.h"
#include "app/shell/SingleInstance.h"
#include "app/shell/TrayBackend.h"
#include "app/shell/TrayModel.h"
#include "app/shell/TrayPanelPlacement.h"
#include "app/shell/WindowService.h"
#include "app/shell/program/AppShortcuts.h"
#include "core/Log.h"
#include "platform/UserDefaults.h"
#include "receiver/session/views/StopSignals.h"
#include "receiver/session/views/UiEngine.h"

Q_IMPORT_QML_PLUGIN(Kelvora_UiPlugin)
Q_IMPORT_QML_PLUGIN(Kelvora_DeveloperPlugin)
Q_IMPORT_QML_PLUGIN(Kelvora_ShellPlugin)

namespace {

using namespace kelvora;

constexpr const char* kDidShowWelcomeWindowKey = "DidShowWelcomeWindow";
constexpr const char* kDidConfigureLoginItemKey = "DidConfigureLoginItem";
constexpr int kWelcomeDelayMilliseconds = 300;
constexpr int kRestoreDelayMilliseconds = 200;

const char* const kUsage =
    "usage: tilvara-sender [--remove-login-item] [--help]\n"
    "\n"
    "Sends this computer's video sources to the Tilvara apps in the local network. A second start opens\n"
    "the window of the one already running.\n"
    "\n"
    "  --remove-login-item  remove the automatic start at login and exit\n"
    "  --help               show this text and exit\n";

bool hasArgument(int argc, char** argv, std::string_view argument) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == argument) {
            return true;
        }
    }
    return false;
}

SenderControllerServices desktopServices() {
    SenderControllerServices services = SenderControllerServices::system();
    services.alerts = std::make_shared<MessageBoxAlertPresenter>();
    services.filePicker = std::make_shared<FileDialogPicker>();
    return services;
}

// The panel opens beside the tray icon (where the pointer is, when the tray cannot tell where its icon is)
// and closes on the next click.
void toggleTrayPanel(WindowService& windows, const SystemTrayBackend& tray) {
    if (QQuickWindow* panel = windows.window(QStringLiteral("panel")); panel && panel->isVisible()) {
        panel->close();
        return;
    }
    windows.open(QStringLiteral("panel"), [&tray](QQuickWindow& panel) {
        const QRect icon = tray.iconGeometry();
        TrayPanelPlacement::place(panel, icon.isValid() ? icon : QRect(QCursor::pos(), QSize(1, 1)));
    });
}

// Builds the controller but starts and announces nothing: unregisters the login item, remembers that it
// was configured, and stops the controller the way every quit does. Needs no display.
int removeLoginItem(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    SenderController controller(SenderControllerServices::system());
    controller.setLaunchAtLogin(false);
    UserDefaults::standard().set(kDidConfigureLoginItemKey, true);
    controller.stop();
    return 0;
}

int runDesktop(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) {
        // No GPU is assumed: every view is drawn by the software scene graph.
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tilvara Sender"));
    QApplication::setDesktopFileName(QStringLiteral("app.kelvora.sender"));
    // Closing the last window leaves the sender running: viewers keep their picture.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(SingleInstance::defaultSocketName());
    if (!instance.claim()) {
        std::fputs("tilvara-sender: already running; its window was asked to open\n", stderr);
        return 0;
    }
    StopSignals stopSignals;

    SenderControllerServices services = desktopServices();
    const std::shared_ptr<HostInfo> host = services.hostInfo;
    auto controller = std::make_unique<SenderController>(std::move(services));
    Updater& updater = Updater::shared();
    QQmlEngine engine;
    prepareUiEngine(engine);
    auto windows = std::make_unique<WindowService>(engine);
    MainWindowModel model(*controller, *windows, updater);
    OnboardingModel onboarding(*controller);
    SettingsWindowModel settings(*controller, host);
    PreviewVisibility mainPreview(PreviewVisibility::mainPreviewOf(*controller));
    const QVariant modelValue = QVariant::fromValue(&model);
    windows->define(QStringLiteral("main"), QUrl(QStringLiteral("qrc:/qt/qml/Kelvora/Shell/MainWindow.qml")),
                    {{QStringLiteral("model"), modelValue},
                     {QStringLiteral("onboarding"), QVariant::fromValue(&onboarding)},
                     {QStringLiteral("previewVisibility"), QVariant::fromValue(&mainPreview)}});
    windows->define(QStringLiteral("settings"),
                    QUrl(QStringLiteral("qrc:/qt/qml/Kelvora/Shell/SettingsWindow.qml")),
                    {{QStringLiteral("model"), modelValue},
                     {QStringLiteral("settings"), QVariant::fromValue(&settings)}});
    windows->define(QStringLiteral("licenses"),
                    QUrl(QStringLiteral("qrc:/qt/qml/Kelvora/Shell/LicensesWindow.qml")), {});

    SystemTrayBackend trayBackend;
    TrayModel tray(*controller, model, trayBackend, [&] { toggleTrayPanel(*windows, trayBackend); });
    windows->define(QStringLiteral("panel"), QUrl(QStringLiteral("qrc:/qt/qml/Kelvora/Shell/TrayPanel.qml")),
                    {{QStringLiteral("model"), QVariant::fromValue(&tray)}});

    AppShortcuts shortcuts(model);
    application.installEventFilter(&shortcuts);

    // Every way out (menu, Ctrl+Q, tray, signal) ends here: every output stops and its viewers are told,
    // then typed names are kept.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &model, &MainWindowModel::shutDown);
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &model, [&](int signal) {
        Log::capture().info("Signal {}: Sender wird beendet", signal);
        model.quit();
    });
    QObject::connect(&instance, &SingleInstance::activationRequested, &model,
                     &MainWindowModel::openMainWindow);
    QObject::connect(&application, &QGuiApplication::applicationStateChanged, &model,
                     [&](Qt::ApplicationState state) {
                         if (state != Qt::ApplicationActive) {
                             return;
                         }
                         QTimer::singleShot(kRestoreDelayMilliseconds, &model, [&] {
                             if (QGuiApplication::applicationState() != Qt::ApplicationActive ||
                                 windows->hasVisibleWindow()) {
                                 return;
                             }
                             if (!windows->restoreMinimised()) {
                                 model.openMainWindow();
                             }
                         });
                     });

    controller->start();
    controller->configureLoginItemOnce();

    UserDefaults& defaults = UserDefaults::standard();
    if (controller->showsOnboarding() || !defaults.boolValue(kDidShowWelcomeWindowKey).value_or(false)) {
        defaults.set(kDidShowWelcomeWindowKey, true);
        QTimer::singleShot(kWelcomeDelayMilliseconds, &model, &MainWindowModel::openMainWindow);
    }

    const int result = QApplication::exec();
    // The views go before the objects they show.
    application.removeEventFilter(&shortcuts);
    windows.reset();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // Before the first thread: every thread inherits the mask, so the signals wait for the main loop.
    StopSignals::blockStopSignals();
    if (hasArgument(argc, argv, "--remove-login-item")) {
        return removeLoginItem(argc, argv);
    }
    return runDesktop(argc, argv);
}
