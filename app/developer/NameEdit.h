#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

class QWindow;

namespace kelvora {

// A stored name as a text field edits it. Until the person types, the field shows the stored name and
// follows it wherever it is changed; once they type, their text stays until a commit hands it on through
// `write`, once. Only a typed text is ever handed on: an untouched field never writes, so it cannot put
// back a name that was changed elsewhere while it was open. The field commits on Return and (where it
// wires `focused`) when it loses the focus; `commitPending` commits on every way out of a window or of
// the program, so a name typed without either is kept.
//
// GUI thread only.
class NameEdit : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString stored READ stored WRITE setStored NOTIFY storedChanged)
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(bool focused READ focused WRITE setFocused NOTIFY focusedChanged)
    Q_PROPERTY(bool edited READ edited NOTIFY editedChanged)

  public:
    explicit NameEdit(QObject* parent = nullptr);
    ~NameEdit() override;

    QString stored() const { return stored_; }
    // The name as it is stored now; shown at once unless the person is typing.
    void setStored(const QString& stored);
    QString text() const { return text_; }
    // The person typed.
    void setText(const QString& text);
    bool focused() const { return focused_; }
    // Losing the focus commits; gaining it does nothing.
    void setFocused(bool focused);
    bool edited() const { return edited_; }

    // Shows the stored name and forgets what was typed (the field came on screen, or was cancelled).
    Q_INVOKABLE void load();
    // Hands on what was typed, when anything was; the text stays as typed until the stored name changes.
    Q_INVOKABLE void commit();

    // Commits every edit that waits in a field of `window`, or in any field when `window` is null. The
    // program calls it when a window closes and when it quits.
    static void commitPending(const QWindow* window = nullptr);

  signals:
    void storedChanged();
    void textChanged();
    void focusedChanged();
    void editedChanged();
    // What `write` hands on unless a subclass writes it itself.
    void committed(const QString& name);

  protected:
    virtual void write(const QString& name);

  private:
    void show(const QString& text);
    void setEdited(bool edited);
    // The window of the field this edit belongs to: that of its nearest item among its parents.
    const QWindow* window() const;

    QString stored_;
    QString text_;
    bool focused_ = false;
    bool edited_ = false;
    bool writing_ = false;
};

}  // namespace kelvora
