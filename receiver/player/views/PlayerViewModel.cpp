#include "receiver/player/views/PlayerViewModel.h"

#include "receiver/player/SenderAddressEntry.h"
#include "receiver/player/StatusPresenters.h"
#include "receiver/player/views/DebugOverlayPresenter.h"
#include "receiver/player/views/SenderPickerPresenter.h"

#include <QVariantMap>

namespace kelvora {
namespace {

QString qText(const std::string& text) {
    return QString::fromStdString(text);
}

QString qualityName(StreamQuality quality) {
    switch (quality) {
        case StreamQuality::full:
            return QStringLiteral("full");
        case StreamQuality::proxy:
            return QStringLiteral("proxy");
        case StreamQuality::automatic:
            break;
    }
    return QStringLiteral("automatic");
}

}  // namespace

PlayerViewModel::PlayerViewModel(StreamPlayer& player, std::shared_ptr<PlayerScheduler> scheduler,
                                 bool showsControls, bool canClose, QObject* parent)
    : QObject(parent),
      player_(&player),
      scheduler_(std::move(scheduler)),
      showsControls_(showsControls),
      canClose_(canClose),
      feed_(new VideoFeed(player.renderer(), this)) {
    refreshStatus();
    refreshSenders();
    refreshEngines();
    refreshOverlay();

    connect(&player, &StreamPlayer::stateChanged, this, [this] {
        const bool playing = player_->state().isPlaying();
        if (playing == status_.playing) {
            refreshStatus();
            return;
        }
        // What follows the player's state moves at once. Leaving playback brings the controls back before the
        // status says so: the pill, shown whenever nothing plays, would otherwise slide in with the duration
        // of the last hide. A pending hide finds the player not playing when it wakes and leaves them.
        setControlsAnimation(0);
        if (!playing) {
            setControlsVisible(true, 0);
        }
        refreshStatus();
        if (playing) {
            scheduleHide();
        }
    });
    connect(&player, &StreamPlayer::statisticsChanged, this, [this] {
        refreshStatus();
        refreshOverlay();
    });
    connect(&player, &StreamPlayer::sendersChanged, this, [this] {
        refreshStatus();
        refreshSenders();
    });
    connect(&player, &StreamPlayer::selectedSenderChanged, this, &PlayerViewModel::refreshSenders);
    connect(&player, &StreamPlayer::isDiscoverySlowChanged, this, &PlayerViewModel::sendersChanged);
    connect(&player, &StreamPlayer::availableEnginesChanged, this, &PlayerViewModel::refreshEngines);
    connect(&player, &StreamPlayer::engineChanged, this, &PlayerViewModel::enginesChanged);
    connect(&player, &StreamPlayer::preferredQualityChanged, this, &PlayerViewModel::qualityChanged);
    connect(&player, &StreamPlayer::showsDebugOverlayChanged, this,
            &PlayerViewModel::showsDebugOverlayChanged);
}

PlayerViewModel::~PlayerViewModel() = default;

void PlayerViewModel::refreshStatus() {
    const PlayerState& state = player_->state();
    const StatusPillText pill = statusPill(state, player_->statistics());
    const StatusPlaceholderText placeholder = statusPlaceholder(state, !player_->senders().empty());
    Status next;
    next.pillTitle = qText(pill.title);
    next.pillHasDetail = pill.detail.has_value();
    next.pillDetail = qText(pill.detail.value_or(std::string()));
    next.pillColor = qText(std::string(colorTokenName(pill.dot)));
    next.playing = state.isPlaying();
    if (next.playing) {
        // The panel fades out over the first picture: it keeps what it said last, so that it leaves whole
        // instead of as an empty box.
        next.placeholder = status_.placeholder;
    } else {
        next.placeholder.symbol = qText(placeholder.symbol);
        next.placeholder.pulses = placeholder.pulses;
        next.placeholder.title = qText(placeholder.title);
        next.placeholder.subtitle = qText(placeholder.subtitle);
        next.placeholder.offersChoice = placeholder.showsChooseButton;
    }
    if (next != status_) {
        status_ = std::move(next);
        emit statusChanged();
    }
}

void PlayerViewModel::refreshSenders() {
    QVariantList rows;
    for (const SenderRowContent& row : kelvora::senderRows(player_->senders(), player_->selectedSender())) {
        rows.append(QVariantMap{{"id", qText(row.id)},
                                {"name", qText(row.name)},
                                {"subtitle", qText(row.subtitle)},
                                {"sourceName", qText(row.sourceName)},
                                {"isSelected", row.isSelected}});
    }
    const bool hasSelection = player_->selectedSender().has_value();
    if (rows != senderRows_ || hasSelection != hasSelection_) {
        senderRows_ = std::move(rows);
        hasSelection_ = hasSelection;
        emit sendersChanged();
    }
}

void PlayerViewModel::refreshEngines() {
    QVariantList engines;
    for (const EngineKind& kind : player_->availableEngines()) {
        engines.append(QVariantMap{{"id", qText(kind.rawValue)},
                                   {"name", qText(kind.description())},
                                   {"summary", qText(kind.summary())}});
    }
    if (engines != engines_) {
        engines_ = std::move(engines);
        emit enginesChanged();
    }
}

void PlayerViewModel::refreshOverlay() {
    const DebugOverlayContent content = debugOverlayContent(player_->statistics());
    Overlay next;
    next.header = qText(content.header);
    next.showsSyncBadge = content.showsSyncBadge;
    next.showsClock = content.showsClock;
    for (const DebugOverlayRow& row : content.rows) {
        next.rows.append(
            QVariantMap{{"label", qText(row.label)},
                        {"value", qText(row.value)},
                        {"color", row.color ? qText(std::string(colorTokenName(*row.color))) : QString()}});
    }
    if (next != overlay_) {
        overlay_ = std::move(next);
        emit overlayChanged();
    }
}

QString PlayerViewModel::searchingHint() const {
    return qText(kelvora::searchingHint(player_->isDiscoverySlow()).text);
}

bool PlayerViewModel::searchingHintIsWarning() const {
    return kelvora::searchingHint(player_->isDiscoverySlow()).isWarning;
}

QString PlayerViewModel::engine() const {
    return qText(player_->engine().rawValue);
}

void PlayerViewModel::setEngine(const QString& rawValue) {
    // Only kinds the picker offers; anything else would be stored as the preference unchecked.
    for (const EngineKind& kind : player_->availableEngines()) {
        if (qText(kind.rawValue) == rawValue) {
            player_->setEngine(kind);
            return;
        }
    }
}

QString PlayerViewModel::quality() const {
    return qualityName(player_->preferredQuality());
}

void PlayerViewModel::setQuality(const QString& quality) {
    for (StreamQuality candidate : allStreamQualities) {
        if (qualityName(candidate) == quality) {
            player_->setPreferredQuality(candidate);
            return;
        }
    }
}

void PlayerViewModel::setShowsDebugOverlay(bool shows) {
    player_->setShowsDebugOverlay(shows);
}

void PlayerViewModel::setShowsPicker(bool shows) {
    if (shows != showsPicker_) {
        showsPicker_ = shows;
        emit showsPickerChanged();
    }
}

void PlayerViewModel::setShowsMenu(bool shows) {
    if (shows != showsMenu_) {
        showsMenu_ = shows;
        emit showsMenuChanged();
    }
}

void PlayerViewModel::setControlsAnimation(int animationMs) {
    if (animationMs != controlsAnimationMs_) {
        controlsAnimationMs_ = animationMs;
        emit controlsAnimationChanged();
    }
}

void PlayerViewModel::setControlsVisible(bool visible, int animationMs) {
    if (visible == controlsVisible_) {
        return;
    }
    setControlsAnimation(animationMs);
    controlsVisible_ = visible;
    emit controlsChanged();
}

void PlayerViewModel::scheduleHide() {
    hideTask_.cancel();
    if (!controlsVisible_ || !status_.playing) {
        return;
    }
    hideTask_ = scheduler_->after(hideDelay, [this] {
        // An open menu or picker stays where the pointer aims at it.
        if (status_.playing && !showsPicker_ && !showsMenu_) {
            setControlsVisible(false, 300);
        }
    });
}

void PlayerViewModel::tap() {
    if (!showsControls_) {
        return;
    }
    setControlsVisible(!controlsVisible_, 200);
    scheduleHide();
}

void PlayerViewModel::select(const QString& id) {
    for (const DiscoveredSender& sender : player_->senders()) {
        if (qText(sender.id) == id) {
            player_->select(sender);
            return;
        }
    }
}

bool PlayerViewModel::canConnect(const QString& text) const {
    return parseSenderAddress(text.toStdString()).has_value();
}

bool PlayerViewModel::connectTyped(const QString& text) {
    const auto address = parseSenderAddress(text.toStdString());
    if (!address) {
        return false;
    }
    player_->connectToManualHost(address->host, address->port);
    return true;
}

void PlayerViewModel::disconnectSender() {
    player_->disconnect(true);
}

void PlayerViewModel::requestKeyframe() {
    player_->requestKeyframe();
}

void PlayerViewModel::requestSourceRestart() {
    player_->requestSourceRestart();
}

void PlayerViewModel::close() {
    if (canClose_) {
        emit closeRequested();
    }
}

}  // namespace kelvora
