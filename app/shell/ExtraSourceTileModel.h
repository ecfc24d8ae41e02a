#pragma once

#include <QPointer>

#include "app/model/ExtraOutput.h"
#include "app/shell/SourceTileModel.h"

namespace kelvora {

// One extra output's tile: its status and pause from the output, its name, source and format from its
// stored settings, each change through the controller by the output's id.
class ExtraSourceTileModel final : public kelvora::SourceTileModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("tiles come from the simple view's model")
    Q_PROPERTY(QString outputID READ outputID CONSTANT)

  public:
    ExtraSourceTileModel(SenderController* controller, ExtraOutput* output,
                         const SimpleViewServices& services, QObject* parent = nullptr);

    QString outputID() const { return QString::fromStdString(id_); }
    const std::string& id() const { return id_; }

    QString renamePlaceholder() const override { return QStringLiteral("Name"); }
    void togglePause() override;
    void restart() override;
    void remove() override;

  protected:
    Reading read() const override;
    std::optional<std::string> source() const override;
    void setSource(const std::optional<std::string>& id) override;
    void setResolution(const std::optional<VideoDimensions>& value) override;
    void setFrameRate(const std::optional<int>& value) override;
    void runPlaceholderAction(PlaceholderAction action) override;
    QString renameSeed() const override;
    void save(const std::string& name) override;

  private:
    std::optional<OutputSettings> settings() const;

    QPointer<ExtraOutput> output_;
    const std::string id_;
    const int number_;
};

}  // namespace kelvora
