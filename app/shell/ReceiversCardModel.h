#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QPointer>

#include <vector>

#include "app/shell/SimpleViewPresenters.h"

namespace kelvora {

class SenderController;

// Every viewer of every output, one row each, in the controller's order. A row keeps its place while the
// same viewers stay in the same order (only its changed row is announced); any other change rebuilds the
// list. GUI thread only.
class ReceiversCardModel final : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the simple view's model")
    Q_PROPERTY(QString countText READ countText NOTIFY countChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

  public:
    enum Role {
        NameRole = Qt::UserRole + 1,
        SymbolRole,
        DetailRole,
        QualityRole,
        QualityColorRole,
        LatencyRole,
        LatencyColorRole
    };

    explicit ReceiversCardModel(SenderController* controller, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    QString countText() const { return QString::fromStdString(receiverCountText(rows_.size())); }
    int count() const { return static_cast<int>(rows_.size()); }
    const std::vector<ReceiverRow>& rows() const { return rows_; }

  signals:
    void countChanged();

  private:
    void watchOutputs();
    void refresh();

    QPointer<SenderController> controller_;
    std::vector<QMetaObject::Connection> outputConnections_;
    std::vector<ReceiverRow> rows_;
};

// The address hint and the NDI lines under the receivers card. The address is read again with every new
// status, which also brings the port the control listener really got.
class ConnectionHintModel final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the simple view's model")
    Q_PROPERTY(QString address READ address NOTIFY addressChanged)
    Q_PROPERTY(bool ndiAvailable READ ndiAvailable CONSTANT)
    Q_PROPERTY(QString ndiLink READ ndiLink CONSTANT)
    Q_PROPERTY(QString ndiLinkLabel READ ndiLinkLabel CONSTANT)
    Q_PROPERTY(QString trademarkNotice READ trademarkNotice CONSTANT)

  public:
    ConnectionHintModel(SenderController* controller, std::function<std::vector<std::string>()> addresses,
                        QObject* parent = nullptr);

    QString address() const { return address_; }
    bool ndiAvailable() const { return ndiAvailable_; }
    static QString ndiLink();
    static QString ndiLinkLabel();
    static QString trademarkNotice();

  signals:
    void addressChanged();

  private:
    void refresh();

    QPointer<SenderController> controller_;
    const std::function<std::vector<std::string>()> addresses_;
    const bool ndiAvailable_;
    QString address_;
};

}  // namespace kelvora
