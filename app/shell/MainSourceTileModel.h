#pragma once

#include "app/shell/SourceTileModel.h"

namespace kelvora {

// The main output's tile: the controller's own status, settings and pause. Every settings edit is one
// write of the whole record through the controller's setter; a format choice is two, the flag first.
class MainSourceTileModel final : public kelvora::SourceTileModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("tiles come from the simple view's model")

  public:
    MainSourceTileModel(SenderController* controller, const SimpleViewServices& services,
                        QObject* parent = nullptr);

    QString renamePlaceholder() const override;
    void togglePause() override;
    void restart() override;

  protected:
    Reading read() const override;
    std::optional<std::string> source() const override;
    void setSource(const std::optional<std::string>& id) override;
    void setResolution(const std::optional<VideoDimensions>& value) override;
    void setFrameRate(const std::optional<int>& value) override;
    void runPlaceholderAction(PlaceholderAction action) override;
    QString renameSeed() const override;
    void save(const std::string& name) override;
};

}  // namespace kelvora
