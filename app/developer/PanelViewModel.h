#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <string>

#include "app/developer/PanelPresenters.h"
#include "app/model/SenderController.h"

namespace kelvora {

// What the dashboard's panels share: the controller they show (set from QML, where it is a plain object)
// and a fresh look at it whenever one of its observed members changes. Each panel re-derives its texts
// through its presenter and tells QML only when they differ from what it shows.
//
// GUI thread only.
class PanelViewModel : public QObject {
    Q_OBJECT
    QML_ANONYMOUS
    Q_PROPERTY(QObject* controller READ controllerObject WRITE setController NOTIFY controllerChanged)

  public:
    explicit PanelViewModel(QObject* parent = nullptr) : QObject(parent) {}

    SenderController* controller() const { return controller_; }
    QObject* controllerObject() const { return controller_; }
    // Anything but a SenderController counts as none.
    void setController(QObject* controller);

  signals:
    void controllerChanged();

  protected:
    virtual void refresh() = 0;

    template <class T>
    static bool replace(T& field, T value) {
        if (field == value) {
            return false;
        }
        field = std::move(value);
        return true;
    }

  private:
    QPointer<SenderController> controller_;
};

inline QString qtext(const std::string& text) {
    return QString::fromStdString(text);
}

QVariantMap pillMap(const PillText& pill);

}  // namespace kelvora
