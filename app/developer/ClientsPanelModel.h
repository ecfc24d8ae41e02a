#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "app/developer/PanelViewModel.h"

namespace kelvora {

// The viewers card: one row per viewer of the main output, and the button that sends one of them away.
class ClientsPanelModel : public kelvora::PanelViewModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString countText READ countText NOTIFY rowsChanged)
    Q_PROPERTY(QVariantList rows READ rows NOTIFY rowsChanged)

  public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    explicit ClientsPanelModel(QObject* parent = nullptr);

    QString countText() const { return qtext(connectedCountText(rows_.size())); }
    // Per row: id, name, symbol, isMediaConnected, caption, pills (text, color, help) and metrics (label,
    // value, unit, color; an empty color is the primary text's).
    QVariantList rows() const { return rowList_; }

    // Asks the main output to close this viewer's session with a goodbye; the row leaves with the next
    // status that no longer lists it.
    Q_INVOKABLE void disconnectClient(const QString& id);

    // The connection times are measured against this clock's time at each status.
    void setClock(Clock clock) { clock_ = std::move(clock); }

  signals:
    void rowsChanged();

  protected:
    void refresh() override;

  private:
    Clock clock_;
    std::vector<ClientRowText> rows_;
    QVariantList rowList_;
};

}  // namespace kelvora
