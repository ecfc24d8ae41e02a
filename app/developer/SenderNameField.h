#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QString>

#include "app/developer/NameEdit.h"
#include "app/model/SenderController.h"

namespace kelvora {

// The network-name field's model: the sender name as a `NameEdit`. The field keeps its own text while the
// user types; the name is written only on a commit, trimmed, and only when it differs from the stored
// name. While the user is not typing, the field follows the stored name wherever it is changed.
//
// Threads: main thread only.
class SenderNameField : public kelvora::NameEdit {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* controller READ controllerObject WRITE setControllerObject NOTIFY controllerChanged)
    Q_PROPERTY(QString placeholder READ placeholder NOTIFY controllerChanged)

  public:
    explicit SenderNameField(QObject* parent = nullptr);

    QObject* controllerObject() const { return controller_; }
    void setControllerObject(QObject* controller);
    // The computer's name, which is announced while the stored name is empty.
    QString placeholder() const;

  signals:
    void controllerChanged();

  protected:
    void write(const QString& name) override;

  private:
    void follow();

    QPointer<SenderController> controller_;
};

}  // namespace kelvora
