#include "app/shell/SourceTileModel.h"

#include <QTimer>

#include "app/model/SenderController.h"
#include "app/presenters/ViewHelpers.h"
#include "app/preview/PreviewRenderer.h"
#include "receiver/session/views/VideoFeed.h"

namespace kelvora {
namespace {

QStringList texts(const std::vector<std::string>& values) {
    QStringList list;
    for (const std::string& value : values) {
        list.append(QString::fromStdString(value));
    }
    return list;
}

}  // namespace

SimpleViewServices SimpleViewServices::system() {
    SimpleViewServices services;
    services.deckLinkProbe = [] { return CaptureDeviceInfo::isDeckLinkDriverInstalled(); };
    services.delay = [](int ms, QObject* context, std::function<void()> call) {
        QTimer::singleShot(ms, context, std::move(call));
    };
    services.addresses = [] { return localIPv4Addresses(); };
    return services;
}

SourceTileModel::SourceTileModel(SenderController* controller, const SimpleViewServices& services,
                                 std::string noneTitle, bool removable, VideoFeed* feed, QObject* parent)
    : QObject(parent),
      controller_(controller),
      services_(services),
      noneTitle_(std::move(noneTitle)),
      removable_(removable),
      feed_(feed),
      rename_(new NameEdit(this)) {
    connect(rename_, &NameEdit::textChanged, this, &SourceTileModel::newNameChanged);
    connect(rename_, &NameEdit::committed, this, [this](const QString& name) {
        if (controller_) {
            save(name.toStdString());
        }
    });
}

SourceTileModel::~SourceTileModel() = default;

void SourceTileModel::init() {
    menu_ = new SourceMenuModel(
        controller_, noneTitle_, [this] { return source(); },
        [this](std::optional<std::string> id) { setSource(id); }, services_.deckLinkProbe, this);
    menuSelection_ = source();
    refresh();
}

QString SourceTileModel::colorToken() const {
    const std::string_view name = colorTokenName(face_.color);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

QString SourceTileModel::placeholderButton() const {
    switch (face_.action) {
        case PlaceholderAction::allowCamera:
            return QStringLiteral("Kamerazugriff erlauben …");
        case PlaceholderAction::resumeAll:
        case PlaceholderAction::resumeMainSource:
        case PlaceholderAction::resumeOutput:
            return QStringLiteral("Fortsetzen");
        case PlaceholderAction::none:
            break;
    }
    return {};
}

QString SourceTileModel::pauseSymbol() const {
    return QString::fromStdString(pauseButton(isSourcePaused_).symbol);
}

QString SourceTileModel::pauseHelp() const {
    return QString::fromStdString(pauseButton(isSourcePaused_).help);
}

QStringList SourceTileModel::resolutionTitles() {
    return texts(resolutionPickerTitles());
}

QStringList SourceTileModel::frameRateTitles() {
    return texts(frameRatePickerTitles());
}

QString SourceTileModel::newName() const {
    return rename_->text();
}

void SourceTileModel::setNewName(const QString& name) {
    rename_->setText(name);
}

void SourceTileModel::chooseResolution(int row) {
    if (controller_ && row >= 0 && row < resolutionTitles().size()) {
        setResolution(resolutionPickerValue(row));
    }
}

void SourceTileModel::chooseFrameRate(int row) {
    if (controller_ && row >= 0 && row < frameRateTitles().size()) {
        setFrameRate(frameRatePickerValue(row));
    }
}

void SourceTileModel::pressPlaceholderButton() {
    if (controller_ && face_.action != PlaceholderAction::none) {
        runPlaceholderAction(face_.action);
    }
}

void SourceTileModel::beginRename() {
    rename_->setStored(renameSeed());
    rename_->load();
    const quint64 generation = ++renameGeneration_;
    if (!isRenaming_) {
        isRenaming_ = true;
        emit isRenamingChanged();
    }
    emit focusRequested();
    services_.delay(kRenameFocusDelayMs, this, [this, generation] {
        if (isRenaming_ && generation == renameGeneration_) {
            emit focusRequested();
        }
    });
}

void SourceTileModel::saveRename() {
    if (isRenaming_) {
        rename_->commit();
    }
    dismissRename();
}

void SourceTileModel::dismissRename() {
    // What was typed and not saved is dropped, so that no later way out saves it.
    rename_->load();
    if (isRenaming_) {
        isRenaming_ = false;
        emit isRenamingChanged();
    }
}

void SourceTileModel::refresh() {
    if (!controller_) {
        return;
    }
    rename_->setStored(renameSeed());
    Reading reading = read();
    std::optional<std::string> chip = formatChipText(reading.status, reading.isSourcePaused);
    const int resolution = resolutionPickerIndex(reading.resolution);
    const int frameRate = frameRatePickerIndex(reading.frameRate);
    // The menu follows the device lists by itself; from here only a new selection reaches it.
    if (std::optional<std::string> selection = source(); menu_ && selection != menuSelection_) {
        menuSelection_ = std::move(selection);
        menu_->rebuild();
    }
    if (reading.name == name_ && reading.face == face_ && chip == formatChip_ &&
        reading.isSourcePaused == isSourcePaused_ && resolution == resolutionIndex_ &&
        frameRate == frameRateIndex_) {
        return;
    }
    name_ = std::move(reading.name);
    face_ = std::move(reading.face);
    formatChip_ = std::move(chip);
    isSourcePaused_ = reading.isSourcePaused;
    resolutionIndex_ = resolution;
    frameRateIndex_ = frameRate;
    emit changed();
}

}  // namespace kelvora
