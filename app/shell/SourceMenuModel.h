#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QPointer>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/shell/SimpleViewPresenters.h"

namespace kelvora {

class SenderController;

// The rows of one tile's source menu over the controller's device and NDI lists. It changes no output:
// a choice goes to the tile's `write`, except the capture-card set-up, which only explains what to do and
// leaves the choice as it was. GUI thread only.
class SourceMenuModel final : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("menus come from the tiles")
    Q_PROPERTY(QString currentTitle READ currentTitle NOTIFY currentChanged)
    Q_PROPERTY(QString currentSymbol READ currentSymbol NOTIFY currentChanged)
    Q_PROPERTY(int currentIndex READ currentIndex NOTIFY currentChanged)

  public:
    enum Role { TitleRole = Qt::UserRole + 1, SymbolRole, DividerRole, SelectedRole };

    using Read = std::function<std::optional<std::string>()>;
    using Write = std::function<void(std::optional<std::string>)>;

    SourceMenuModel(SenderController* controller, std::string noneTitle, Read read, Write write,
                    std::function<bool()> deckLinkProbe, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    QString currentTitle() const;
    QString currentSymbol() const;
    int currentIndex() const { return current_; }
    const std::vector<SourceMenuEntry>& entries() const { return entries_; }

    Q_INVOKABLE void choose(int row);
    // The lists or the selection may have changed: rebuilds the rows, the driver check included.
    void rebuild();

  signals:
    void currentChanged();
    // Any row was chosen, also one that changes nothing: the pop-up closes.
    void chosen();

  private:
    QPointer<SenderController> controller_;
    const std::string noneTitle_;
    const Read read_;
    const Write write_;
    const std::function<bool()> deckLinkProbe_;
    std::vector<SourceMenuEntry> entries_;
    int current_ = 0;
};

}  // namespace kelvora
