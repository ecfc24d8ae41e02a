#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>

#include <memory>
#include <optional>

#include "receiver/player/PlayerSeams.h"
#include "receiver/player/StreamPlayer.h"
#include "receiver/session/views/VideoFeed.h"
#include "receiver/session/views/VideoItem.h"

namespace kelvora {

// What the player view, its status views, the sender picker and the debug overlay show of one StreamPlayer,
// as QML reads it: every text, colour token and flag comes from the presenters, and each property notifies
// only when its value changed. It also keeps the view's own state: whether the controls are shown (they hide
// themselves 3 s after they were last shown during playback, on the scheduler's clock, so a test drives it
// by hand) and whether the picker or the menu is open.
//
// Threads: GUI thread only, like the player it observes. The player outlives this model.
class PlayerViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("the program makes the player's view model")

    Q_PROPERTY(bool showsControls READ showsControls CONSTANT)
    Q_PROPERTY(bool canClose READ canClose CONSTANT)
    Q_PROPERTY(kelvora::VideoFeed* feed READ feed CONSTANT)

    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY statusChanged)
    Q_PROPERTY(QString pillTitle READ pillTitle NOTIFY statusChanged)
    Q_PROPERTY(QString pillDetail READ pillDetail NOTIFY statusChanged)
    Q_PROPERTY(bool pillHasDetail READ pillHasDetail NOTIFY statusChanged)
    Q_PROPERTY(QString pillColor READ pillColor NOTIFY statusChanged)
    Q_PROPERTY(QString placeholderSymbol READ placeholderSymbol NOTIFY statusChanged)
    Q_PROPERTY(bool placeholderPulses READ placeholderPulses NOTIFY statusChanged)
    Q_PROPERTY(QString placeholderTitle READ placeholderTitle NOTIFY statusChanged)
    Q_PROPERTY(QString placeholderSubtitle READ placeholderSubtitle NOTIFY statusChanged)
    Q_PROPERTY(bool placeholderOffersChoice READ placeholderOffersChoice NOTIFY statusChanged)

    Q_PROPERTY(bool hasSenders READ hasSenders NOTIFY sendersChanged)
    Q_PROPERTY(QVariantList senderRows READ senderRows NOTIFY sendersChanged)
    Q_PROPERTY(bool hasSelection READ hasSelection NOTIFY sendersChanged)
    Q_PROPERTY(QString searchingHint READ searchingHint NOTIFY sendersChanged)
    Q_PROPERTY(bool searchingHintIsWarning READ searchingHintIsWarning NOTIFY sendersChanged)

    Q_PROPERTY(QVariantList engines READ engines NOTIFY enginesChanged)
    Q_PROPERTY(QString engine READ engine WRITE setEngine NOTIFY enginesChanged)
    Q_PROPERTY(QString quality READ quality WRITE setQuality NOTIFY qualityChanged)
    Q_PROPERTY(bool showsDebugOverlay READ showsDebugOverlay WRITE setShowsDebugOverlay NOTIFY
                   showsDebugOverlayChanged)

    Q_PROPERTY(QString overlayHeader READ overlayHeader NOTIFY overlayChanged)
    Q_PROPERTY(bool overlayShowsSyncBadge READ overlayShowsSyncBadge NOTIFY overlayChanged)
    Q_PROPERTY(QVariantList overlayRows READ overlayRows NOTIFY overlayChanged)
    Q_PROPERTY(bool overlayShowsClock READ overlayShowsClock NOTIFY overlayChanged)

    Q_PROPERTY(bool controlsVisible READ controlsVisible NOTIFY controlsChanged)
    // How long the controls take to come or go: notified before the change it belongs to, so that the views
    // move with the new duration (0: at once).
    Q_PROPERTY(int controlsAnimationMs READ controlsAnimationMs NOTIFY controlsAnimationChanged)
    Q_PROPERTY(bool showsPicker READ showsPicker WRITE setShowsPicker NOTIFY showsPickerChanged)
    // Whether the player's menu is open: like the picker, it keeps the controls (and itself) in place.
    Q_PROPERTY(bool showsMenu READ showsMenu WRITE setShowsMenu NOTIFY showsMenuChanged)

  public:
    static constexpr auto hideDelay = std::chrono::seconds(3);

    PlayerViewModel(StreamPlayer& player, std::shared_ptr<PlayerScheduler> scheduler, bool showsControls,
                    bool canClose, QObject* parent = nullptr);
    ~PlayerViewModel() override;

    bool showsControls() const { return showsControls_; }
    bool canClose() const { return canClose_; }
    VideoFeed* feed() const { return feed_; }

    bool isPlaying() const { return player_->state().isPlaying(); }
    QString pillTitle() const { return status_.pillTitle; }
    QString pillDetail() const { return status_.pillDetail; }
    bool pillHasDetail() const { return status_.pillHasDetail; }
    QString pillColor() const { return status_.pillColor; }
    QString placeholderSymbol() const { return status_.placeholder.symbol; }
    bool placeholderPulses() const { return status_.placeholder.pulses; }
    QString placeholderTitle() const { return status_.placeholder.title; }
    QString placeholderSubtitle() const { return status_.placeholder.subtitle; }
    bool placeholderOffersChoice() const { return status_.placeholder.offersChoice; }

    bool hasSenders() const { return !player_->senders().empty(); }
    QVariantList senderRows() const { return senderRows_; }
    bool hasSelection() const { return hasSelection_; }
    QString searchingHint() const;
    bool searchingHintIsWarning() const;

    QVariantList engines() const { return engines_; }
    QString engine() const;
    void setEngine(const QString& rawValue);
    QString quality() const;
    void setQuality(const QString& quality);
    bool showsDebugOverlay() const { return player_->showsDebugOverlay(); }
    void setShowsDebugOverlay(bool shows);

    QString overlayHeader() const { return overlay_.header; }
    bool overlayShowsSyncBadge() const { return overlay_.showsSyncBadge; }
    QVariantList overlayRows() const { return overlay_.rows; }
    bool overlayShowsClock() const { return overlay_.showsClock; }

    bool controlsVisible() const { return controlsVisible_; }
    int controlsAnimationMs() const { return controlsAnimationMs_; }
    bool showsPicker() const { return showsPicker_; }
    void setShowsPicker(bool shows);
    bool showsMenu() const { return showsMenu_; }
    void setShowsMenu(bool shows);

    // A tap anywhere on the player: flips the controls and, during playback, counts 3 s anew.
    Q_INVOKABLE void tap();
    // Connects the listed sender with this id.
    Q_INVOKABLE void select(const QString& id);
    // Whether the address field holds more than blanks.
    Q_INVOKABLE bool canConnect(const QString& text) const;
    // Connects a typed address; false (and nothing done) for a blank field.
    Q_INVOKABLE bool connectTyped(const QString& text);
    // Ends the session, clears the selection and forgets the last sender.
    Q_INVOKABLE void disconnectSender();
    Q_INVOKABLE void requestKeyframe();
    Q_INVOKABLE void requestSourceRestart();
    Q_INVOKABLE void close();

  signals:
    void statusChanged();
    void sendersChanged();
    void enginesChanged();
    void qualityChanged();
    void showsDebugOverlayChanged();
    void overlayChanged();
    void controlsChanged();
    void controlsAnimationChanged();
    void showsPickerChanged();
    void showsMenuChanged();
    void closeRequested();

  private:
    struct Placeholder {
        QString symbol, title, subtitle;
        bool pulses = false;
        bool offersChoice = false;

        bool operator==(const Placeholder&) const = default;
    };
    struct Status {
        QString pillTitle, pillDetail, pillColor;
        bool pillHasDetail = false;
        Placeholder placeholder;
        bool playing = false;

        bool operator==(const Status&) const = default;
    };
    struct Overlay {
        QString header;
        bool showsSyncBadge = false;
        QVariantList rows;
        bool showsClock = false;

        bool operator==(const Overlay&) const = default;
    };

    void refreshStatus();
    void refreshSenders();
    void refreshEngines();
    void refreshOverlay();
    void setControlsAnimation(int animationMs);
    void setControlsVisible(bool visible, int animationMs);
    void scheduleHide();

    QPointer<StreamPlayer> player_;
    std::shared_ptr<PlayerScheduler> scheduler_;
    const bool showsControls_;
    const bool canClose_;
    VideoFeed* feed_;

    Status status_;
    QVariantList senderRows_;
    bool hasSelection_ = false;
    QVariantList engines_;
    Overlay overlay_;

    bool controlsVisible_ = true;
    int controlsAnimationMs_ = 0;
    bool showsPicker_ = false;
    bool showsMenu_ = false;
    // Destroying the handle cancels the hide, so it never outlives this model.
    PlayerScheduler::Handle hideTask_;
};

}  // namespace kelvora
