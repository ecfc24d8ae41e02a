#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QObject>
#include <QPointer>

#include <vector>

#include "app/developer/ModelTypes.h"
#include "app/developer/OutputRowModel.h"

namespace kelvora {

// The outputs panel: the main output's line, one row per extra output and the add button. Rows are keyed by
// the output's id, so a row (and the name being typed in it) stays while other outputs come and go; the one
// role "row" gives the row's OutputRowModel.
// GUI thread only.
class OutputsPanelModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(
        kelvora::SenderController* controller READ controller WRITE setController NOTIFY controllerChanged)
    Q_PROPERTY(QString displayName READ displayName NOTIFY changed)
    Q_PROPERTY(bool canAddOutput READ canAdd NOTIFY changed)
    Q_PROPERTY(bool showsHint READ showsHint NOTIFY changed)

  public:
    explicit OutputsPanelModel(QObject* parent = nullptr);

    SenderController* controller() const { return controller_; }
    void setController(SenderController* controller);
    QString displayName() const { return displayName_; }
    bool canAdd() const { return canAdd_; }
    bool showsHint() const { return rows_.empty(); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    OutputRowModel* row(int index) const;

    Q_INVOKABLE void addOutput();

  signals:
    void controllerChanged();
    void changed();

  private:
    void syncRows();
    void refresh();

    QPointer<SenderController> controller_;
    std::vector<OutputRowModel*> rows_;  // children of this model
    QString displayName_;
    bool canAdd_ = false;
    bool showedHint_ = true;
};

}  // namespace kelvora
