#include <signal.h>

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQmlEngineExtensionPlugin>
#include <QQuickView>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "receiver/player/PlayerSeams.h"
#include "receiver/player/StreamPlayer.h"
#include "receiver/player/program/LatencyProbe.h"
#include "receiver/player/views/PlayerViewModel.h"
#include "receiver/session/ReceiverSession.h"
#include "receiver/session/views/StopSignals.h"
#include "receiver/session/views/UiEngine.h"

Q_IMPORT_QML_PLUGIN(Kelvora_UiPlugin)
Q_IMPORT_QML_PLUGIN(Kelvora_PlayerPlugin)

namespace kelvora {
namespace {

constexpr const char* usage =
    "Aufruf: tilvara-viewer [--connect ADRESSE] [--measure-latency] [--help]\n"
    "\n"
    "Zeigt das Bild eines Tilvara-Senders im lokalen Netzwerk. Sender werden per DNS-SD gefunden;\n"
    "die Auswahl und eine getippte Adresse stehen hinter der Schaltfläche oben rechts.\n"
    "\n"
    "  --connect ADRESSE  verbindet sofort mit ADRESSE (Host, Host:Port oder [IPv6]:Port)\n"
    "  --measure-latency  schreibt jede Sekunde die Glas-zu-Glas-Latenz des gezeigten Testbilds\n"
    "                     und die CPU-Zeit je Bild auf die Standardausgabe\n"
    "  --help             zeigt diese Hilfe\n";

struct Options {
    std::optional<std::string> connect;
    bool measureLatency = false;
};

// None with an exit code when the program should end at once.
std::optional<Options> parseOptions(int argc, char** argv, int& exitCode) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            exitCode = 0;
            return std::nullopt;
        }
        if (argument == "--connect") {
            // No address begins with a dash: "--connect --measure-latency" lacks one rather than naming one.
            if (i + 1 >= argc || argv[i + 1][0] == '\0' || argv[i + 1][0] == '-') {
                std::fprintf(stderr, "tilvara-viewer: „--connect“ braucht eine Adresse\n\n%s", usage);
                exitCode = 2;
                return std::nullopt;
            }
            options.connect = argv[++i];
            continue;
        }
        if (argument == "--measure-latency") {
            options.measureLatency = true;
            continue;
        }
        std::fprintf(stderr, "tilvara-viewer: unbekannte Option „%s“\n\n%s", argument.c_str(), usage);
        exitCode = 2;
        return std::nullopt;
    }
    return options;
}

int run(int argc, char** argv) {
    int exitCode = 0;
    const auto options = parseOptions(argc, argv, exitCode);
    if (!options) {
        return exitCode;
    }

    // Every thread started from here on inherits the mask; the signals wait in a signalfd the loop reads.
    StopSignals::blockStopSignals();
    signal(SIGPIPE, SIG_IGN);

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Tilvara"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tilvara"));
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &app, [] { QGuiApplication::quit(); });

    PlayerServices services = PlayerServices::system();
    const std::shared_ptr<PlayerScheduler> scheduler = services.scheduler;

    PlayerConfiguration configuration;
    configuration.storageKey = "player";
    configuration.autoConnect = true;
    configuration.autoConnectToOnlySender = true;
    configuration.defaultEngine = EngineKind::tcp();
    configuration.clientName = PlayerConfiguration::defaultClientName();
    configuration.usesBuiltInRenderer = true;

    StreamPlayer player(configuration, std::move(services));
    PlayerViewModel model(player, scheduler, true, false);

    QQuickView view;
    prepareUiEngine(*view.engine());
    view.setTitle(QStringLiteral("Tilvara"));
    view.setColor(Qt::black);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setInitialProperties({{"model", QVariant::fromValue(&model)}});
    view.setSource(QUrl(QStringLiteral("qrc:/qt/qml/Kelvora/Player/KelvoraPlayerView.qml")));
    if (view.status() != QQuickView::Ready) {
        for (const auto& error : view.errors()) {
            std::fprintf(stderr, "tilvara-viewer: %s\n", qPrintable(error.toString()));
        }
        return 1;
    }
    view.resize(1280, 760);
    view.setMinimumSize(QSize(480, 320));

    std::unique_ptr<LatencyProbe> probe;
    if (options->measureLatency) {
        probe = std::make_unique<LatencyProbe>(player, view);
    }

    // Discovery and the connection begin once the window is on screen, so the first picture has a place.
    QObject::connect(
        &view, &QQuickWindow::frameSwapped, &player,
        [&player, &model, connect = options->connect] {
            player.start();
            if (connect) {
                model.connectTyped(QString::fromStdString(*connect));
            }
        },
        Qt::SingleShotConnection);
    // Closing the window quits too; the player stops before anything is torn down.
    QObject::connect(&app, &QGuiApplication::aboutToQuit, &player, [&player] { player.stop(); });
    view.show();

    exitCode = QGuiApplication::exec();
    player.stop();
    return exitCode;
}

}  // namespace
}  // namespace kelvora

int main(int argc, char** argv) {
    return kelvora::run(argc, argv);
}
