#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QPointer>

#include <vector>

#include "app/shell/ExtraSourceTileModel.h"
#include "app/shell/MainSourceTileModel.h"
#include "app/shell/ReceiversCardModel.h"

namespace kelvora {

// The extra outputs' tiles, one row per output, keyed by the output: when the controller's list changes,
// only the rows of outputs that went are removed and only those of new outputs inserted, so every other
// tile (and the state of its sheet) lives on. GUI thread only.
class SimpleMainViewTiles final : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the simple view's model")

  public:
    enum Role { TileRole = Qt::UserRole + 1 };

    SimpleMainViewTiles(SenderController* controller, SimpleViewServices services, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override { return {{TileRole, "extraTile"}}; }
    ExtraSourceTileModel* tile(int row) const { return rows_.at(static_cast<size_t>(row)).tile; }

  private:
    struct Row {
        QPointer<ExtraOutput> output;
        ExtraSourceTileModel* tile = nullptr;
    };
    void sync();

    QPointer<SenderController> controller_;
    const SimpleViewServices services_;
    std::vector<Row> rows_;
};

// The model of the simple face of the main window: the main tile, the extra tiles, the receivers and the
// connection hint. QML makes it with the controller; C++ may hand it other services.
class SimpleMainViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* controller READ controller WRITE setController NOTIFY controllerChanged)
    Q_PROPERTY(kelvora::MainSourceTileModel* mainTile READ mainTile NOTIFY controllerChanged)
    Q_PROPERTY(kelvora::SimpleMainViewTiles* extraTiles READ extraTiles NOTIFY controllerChanged)
    Q_PROPERTY(kelvora::ReceiversCardModel* receivers READ receivers NOTIFY controllerChanged)
    Q_PROPERTY(kelvora::ConnectionHintModel* hint READ hint NOTIFY controllerChanged)
    Q_PROPERTY(int columns READ columns NOTIFY layoutChanged)
    Q_PROPERTY(bool mainCompact READ mainCompact NOTIFY layoutChanged)

  public:
    explicit SimpleMainViewModel(QObject* parent = nullptr);
    SimpleMainViewModel(SimpleViewServices services, QObject* parent = nullptr);

    QObject* controller() const;
    // Takes a SenderController; anything else leaves the view empty.
    void setController(QObject* controller);
    MainSourceTileModel* mainTile() const { return mainTile_; }
    SimpleMainViewTiles* extraTiles() const { return extraTiles_; }
    ReceiversCardModel* receivers() const { return receivers_; }
    ConnectionHintModel* hint() const { return hint_; }
    // One column for the main output alone, two once an extra output exists; the main tile turns compact.
    int columns() const { return hasExtras_ ? 2 : 1; }
    bool mainCompact() const { return hasExtras_; }

  signals:
    void controllerChanged();
    void layoutChanged();

  private:
    void followOutputs();

    const SimpleViewServices services_;
    QPointer<SenderController> controller_;
    MainSourceTileModel* mainTile_ = nullptr;
    SimpleMainViewTiles* extraTiles_ = nullptr;
    ReceiversCardModel* receivers_ = nullptr;
    ConnectionHintModel* hint_ = nullptr;
    bool hasExtras_ = false;
};

}  // namespace kelvora
