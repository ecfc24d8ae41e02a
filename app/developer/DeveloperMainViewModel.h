#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QVariantList>

#include "app/developer/ModelTypes.h"

namespace kelvora {

// The dashboard's own figures: the metrics row and whether the reference clock stands in the toolbar.
// Follows the controller's status; `changed` fires only when something shown changed.
// GUI thread only.
class DeveloperMainViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(
        kelvora::SenderController* controller READ controller WRITE setController NOTIFY controllerChanged)
    // Four maps with title, value, unit, symbol and tint (a colour token name).
    Q_PROPERTY(QVariantList metricTiles READ metricTiles NOTIFY changed)
    Q_PROPERTY(bool showsReferenceClock READ showsReferenceClock NOTIFY changed)

  public:
    explicit DeveloperMainViewModel(QObject* parent = nullptr);

    SenderController* controller() const { return controller_; }
    void setController(SenderController* controller);
    QVariantList metricTiles() const { return metricTiles_; }
    bool showsReferenceClock() const { return showsReferenceClock_; }

  signals:
    void controllerChanged();
    void changed();

  private:
    void refresh();

    QPointer<SenderController> controller_;
    QVariantList metricTiles_;
    bool showsReferenceClock_ = false;
};

}  // namespace kelvora
