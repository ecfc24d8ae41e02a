#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/developer/NameEdit.h"
#include "app/shell/SimpleViewPresenters.h"
#include "app/shell/SourceMenuModel.h"
#include "receiver/session/views/VideoItem.h"

namespace kelvora {

class SenderController;
class PreviewSink;

// What the simple view reaches outside the controller; the defaults are this computer's.
struct SimpleViewServices {
    // Whether the capture-card driver software is installed (asked at every rebuild of a source menu).
    std::function<bool()> deckLinkProbe;
    // Runs `call` after `ms` unless `context` is gone by then.
    std::function<void(int ms, QObject* context, std::function<void()> call)> delay;
    std::function<std::vector<std::string>()> addresses;

    static SimpleViewServices system();
};

// One output's tile as QML binds it: the face of its state, its controls and its rename sheet. The main
// and the extra tiles differ only in where they read and write; this class holds what they share.
// GUI thread only.
class SourceTileModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("tiles come from the simple view's model")
    Q_PROPERTY(QString name READ name NOTIFY changed)
    Q_PROPERTY(QString title READ title NOTIFY changed)
    Q_PROPERTY(QString detail READ detail NOTIFY changed)
    Q_PROPERTY(QString colorToken READ colorToken NOTIFY changed)
    Q_PROPERTY(bool showsVideo READ showsVideo NOTIFY changed)
    Q_PROPERTY(QString placeholderSymbol READ placeholderSymbol NOTIFY changed)
    Q_PROPERTY(QString placeholderButton READ placeholderButton NOTIFY changed)
    Q_PROPERTY(bool badgePulses READ badgePulses NOTIFY changed)
    Q_PROPERTY(bool showsBlackChip READ showsBlackChip NOTIFY changed)
    Q_PROPERTY(QString viewerCount READ viewerCount NOTIFY changed)
    Q_PROPERTY(QString viewerHelp READ viewerHelp NOTIFY changed)
    Q_PROPERTY(QString formatChip READ formatChip NOTIFY changed)
    Q_PROPERTY(QString pauseSymbol READ pauseSymbol NOTIFY changed)
    Q_PROPERTY(QString pauseHelp READ pauseHelp NOTIFY changed)
    Q_PROPERTY(int resolutionIndex READ resolutionIndex NOTIFY changed)
    Q_PROPERTY(int frameRateIndex READ frameRateIndex NOTIFY changed)
    Q_PROPERTY(QStringList resolutionTitles READ resolutionTitles CONSTANT)
    Q_PROPERTY(QStringList frameRateTitles READ frameRateTitles CONSTANT)
    Q_PROPERTY(bool removable READ removable CONSTANT)
    Q_PROPERTY(kelvora::SourceMenuModel* sourceMenu READ sourceMenu CONSTANT)
    Q_PROPERTY(kelvora::VideoFeed* feed READ feed CONSTANT)
    Q_PROPERTY(bool isRenaming READ isRenaming NOTIFY isRenamingChanged)
    Q_PROPERTY(QString newName READ newName WRITE setNewName NOTIFY newNameChanged)
    Q_PROPERTY(QString renamePlaceholder READ renamePlaceholder NOTIFY isRenamingChanged)

  public:
    static constexpr int kRenameFocusDelayMs = 150;

    ~SourceTileModel() override;

    QString name() const { return QString::fromStdString(name_); }
    QString title() const { return QString::fromStdString(face_.title); }
    QString detail() const { return QString::fromStdString(face_.detail); }
    QString colorToken() const;
    bool showsVideo() const { return face_.showsVideo; }
    QString placeholderSymbol() const { return QString::fromStdString(face_.placeholderSymbol); }
    QString placeholderButton() const;
    bool badgePulses() const { return face_.badgePulses; }
    bool showsBlackChip() const { return face_.showsBlackChip; }
    QString viewerCount() const { return QString::fromStdString(face_.viewerCount); }
    QString viewerHelp() const { return QString::fromStdString(face_.viewerHelp); }
    QString formatChip() const { return QString::fromStdString(formatChip_.value_or("")); }
    QString pauseSymbol() const;
    QString pauseHelp() const;
    int resolutionIndex() const { return resolutionIndex_; }
    int frameRateIndex() const { return frameRateIndex_; }
    static QStringList resolutionTitles();
    static QStringList frameRateTitles();
    bool removable() const { return removable_; }
    SourceMenuModel* sourceMenu() const { return menu_; }
    VideoFeed* feed() const { return feed_; }
    bool isRenaming() const { return isRenaming_; }
    QString newName() const;
    // The user typed in the sheet.
    void setNewName(const QString& name);
    virtual QString renamePlaceholder() const = 0;
    const TileFace& face() const { return face_; }

    // A stored value that no row stands for selects nothing and is never written back: only a row the
    // user picks writes, and row 0 writes "as the source".
    Q_INVOKABLE void chooseResolution(int row);
    Q_INVOKABLE void chooseFrameRate(int row);
    Q_INVOKABLE virtual void togglePause() = 0;
    Q_INVOKABLE virtual void restart() = 0;
    Q_INVOKABLE virtual void remove() {}
    Q_INVOKABLE void pressPlaceholderButton();
    // Opens the sheet seeded with the tile's own text; the field gets the focus at once and once more a
    // moment later, unless the sheet was closed in between. Until the user types, the sheet follows the
    // stored name; only what was typed is saved, also when the window closes or the program quits.
    Q_INVOKABLE void beginRename();
    Q_INVOKABLE void saveRename();
    // Closes the sheet without saving.
    Q_INVOKABLE void dismissRename();

  signals:
    void changed();
    void isRenamingChanged();
    void newNameChanged();
    void focusRequested();

  protected:
    SourceTileModel(SenderController* controller, const SimpleViewServices& services, std::string noneTitle,
                    bool removable, VideoFeed* feed, QObject* parent);

    // The subclass's reading of its output.
    struct Reading {
        std::string name;
        TileFace face;
        SenderStatus status;
        bool isSourcePaused = false;
        std::optional<VideoDimensions> resolution;
        std::optional<int> frameRate;
    };
    virtual Reading read() const = 0;
    virtual std::optional<std::string> source() const = 0;
    virtual void setSource(const std::optional<std::string>& id) = 0;
    virtual void setResolution(const std::optional<VideoDimensions>& value) = 0;
    virtual void setFrameRate(const std::optional<int>& value) = 0;
    virtual void runPlaceholderAction(PlaceholderAction action) = 0;
    virtual QString renameSeed() const = 0;
    virtual void save(const std::string& name) = 0;
    // Builds the source menu and reads the output once: the subclass's constructor calls it last, when
    // its own reading works.
    void init();
    // Reads the output again; emits `changed` only when something shown differs.
    void refresh();

    QPointer<SenderController> controller_;
    const SimpleViewServices services_;

  private:
    SourceMenuModel* menu_ = nullptr;
    const std::string noneTitle_;
    const bool removable_;
    // The output's one feed, shared with every other view of its preview (owned by the output).
    QPointer<VideoFeed> feed_;
    std::string name_;
    TileFace face_;
    std::optional<std::string> formatChip_;
    std::optional<std::string> menuSelection_;
    bool isSourcePaused_ = false;
    int resolutionIndex_ = 0;
    int frameRateIndex_ = 0;
    bool isRenaming_ = false;
    // The sheet's text against the stored name.
    NameEdit* rename_ = nullptr;
    // Counts openings of the sheet, so that a late focus of an earlier opening does nothing.
    quint64 renameGeneration_ = 0;
};

}  // namespace kelvora
