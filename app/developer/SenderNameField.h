#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QString>

#include "app/model/SenderController.h"

namespace kelvora {

// The network-name field's model. The field keeps its own text while the user types; the name is written
// only on a commit (Return, focus loss, or the window host's `commitFocused` when the window closes or the
// program quits), trimmed, and only when it differs from the stored name. The text is loaded from the
// settings each time the field comes on screen, not while it is shown, so typing is never overwritten.
//
// Threads: main thread only.
class SenderNameField : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* controller READ controllerObject WRITE setControllerObject NOTIFY controllerChanged)
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(bool focused READ focused WRITE setFocused NOTIFY focusedChanged)
    Q_PROPERTY(QString placeholder READ placeholder NOTIFY controllerChanged)

  public:
    explicit SenderNameField(QObject* parent = nullptr);
    ~SenderNameField() override;

    QObject* controllerObject() const { return controller_; }
    void setControllerObject(QObject* controller);
    QString text() const { return text_; }
    void setText(const QString& text);
    bool focused() const { return focused_; }
    // Losing the focus commits; gaining it does nothing.
    void setFocused(bool focused);
    // The computer's name, which is announced while the stored name is empty.
    QString placeholder() const;

    // The field came on screen: show the stored name.
    Q_INVOKABLE void load();
    Q_INVOKABLE void commit();

    // Commits every field that has the focus. The program calls it when a window closes and before it
    // stops the controller at quit, so a name typed without Return or leaving the field is kept.
    static void commitFocused();

  signals:
    void controllerChanged();
    void textChanged();
    void focusedChanged();

  private:
    QPointer<SenderController> controller_;
    QString text_;
    bool focused_ = false;
};

}  // namespace kelvora
