#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QVariantList>

#include <vector>

#include "app/shell/SimpleViewPresenters.h"

namespace kelvora {

class SenderController;

// Every viewer of every output, one row each, in the controller's order. The card repeats its rows by
// count and reads each one's texts from `rows`, so a viewer coming or going, or new figures, never replace
// the rows a layout still holds. GUI thread only.
class ReceiversCardModel final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the simple view's model")
    Q_PROPERTY(QString countText READ countText NOTIFY countChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(QVariantList rows READ rows NOTIFY rowsChanged)

  public:
    explicit ReceiversCardModel(SenderController* controller, QObject* parent = nullptr);

    QString countText() const { return QString::fromStdString(receiverCountText(rows_.size())); }
    int count() const { return static_cast<int>(rows_.size()); }
    // Per row: name, symbol, detail, quality, qualityColor, latency, latencyColor (colours as token names).
    QVariantList rows() const { return rowList_; }

  signals:
    void countChanged();
    void rowsChanged();

  private:
    void watchOutputs();
    void refresh();

    QPointer<SenderController> controller_;
    std::vector<QMetaObject::Connection> outputConnections_;
    std::vector<ReceiverRow> rows_;
    QVariantList rowList_;
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
