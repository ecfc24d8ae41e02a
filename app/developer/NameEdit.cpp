#include "app/developer/NameEdit.h"

#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>

#include <algorithm>
#include <vector>

namespace kelvora {
namespace {

// The live edits (GUI thread only).
std::vector<NameEdit*>& liveEdits() {
    static std::vector<NameEdit*> edits;
    return edits;
}

}  // namespace

NameEdit::NameEdit(QObject* parent) : QObject(parent) {
    liveEdits().push_back(this);
}

NameEdit::~NameEdit() {
    std::erase(liveEdits(), this);
}

void NameEdit::setStored(const QString& stored) {
    if (stored != stored_) {
        stored_ = stored;
        emit storedChanged();
    }
    // While a commit writes, the name comes back as stored (trimmed, say); the field keeps it as typed.
    if (!edited_ && !writing_) {
        show(stored_);
    }
}

void NameEdit::setText(const QString& text) {
    show(text);
    setEdited(true);
}

void NameEdit::setFocused(bool focused) {
    if (focused == focused_) {
        return;
    }
    focused_ = focused;
    emit focusedChanged();
    if (!focused) {
        commit();
    }
}

void NameEdit::load() {
    setEdited(false);
    show(stored_);
}

void NameEdit::commit() {
    if (!edited_ || writing_) {
        return;
    }
    setEdited(false);
    const QPointer<NameEdit> self(this);
    writing_ = true;
    write(text_);
    if (self) {
        writing_ = false;
    }
}

void NameEdit::write(const QString& name) {
    emit committed(name);
}

void NameEdit::commitPending(const QWindow* window) {
    // A commit can reach code that makes or drops fields; walk a copy and skip those gone meanwhile.
    std::vector<QPointer<NameEdit>> edits;
    for (NameEdit* edit : liveEdits()) {
        if (edit->edited_ && (!window || edit->window() == window)) {
            edits.emplace_back(edit);
        }
    }
    for (const QPointer<NameEdit>& edit : edits) {
        if (edit) {
            edit->commit();
        }
    }
}

void NameEdit::show(const QString& text) {
    if (text != text_) {
        text_ = text;
        emit textChanged();
    }
}

void NameEdit::setEdited(bool edited) {
    if (edited != edited_) {
        edited_ = edited;
        emit editedChanged();
    }
}

const QWindow* NameEdit::window() const {
    for (const QObject* object = parent(); object; object = object->parent()) {
        if (const auto* item = qobject_cast<const QQuickItem*>(object)) {
            return item->window();
        }
    }
    return nullptr;
}

}  // namespace kelvora
