#include "app/shell/SourceMenuModel.h"

#include "app/model/SenderController.h"

namespace kelvora {

SourceMenuModel::SourceMenuModel(SenderController* controller, std::string noneTitle, Read read, Write write,
                                 std::function<bool()> deckLinkProbe, QObject* parent)
    : QAbstractListModel(parent),
      controller_(controller),
      noneTitle_(std::move(noneTitle)),
      read_(std::move(read)),
      write_(std::move(write)),
      deckLinkProbe_(std::move(deckLinkProbe)) {
    connect(controller, &SenderController::devicesChanged, this, &SourceMenuModel::rebuild);
    connect(controller, &SenderController::ndiSourcesChanged, this, &SourceMenuModel::rebuild);
    rebuild();
}

int SourceMenuModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

QVariant SourceMenuModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const SourceMenuEntry& entry = entries_[static_cast<size_t>(index.row())];
    switch (role) {
        case TitleRole:
            return QString::fromStdString(entry.title);
        case SymbolRole:
            return QString::fromStdString(entry.symbol);
        case DividerRole:
            return entry.isDivider;
        case SelectedRole:
            return index.row() == current_;
        default:
            return {};
    }
}

QHash<int, QByteArray> SourceMenuModel::roleNames() const {
    return {
        {TitleRole, "title"}, {SymbolRole, "symbol"}, {DividerRole, "divider"}, {SelectedRole, "selected"}};
}

QString SourceMenuModel::currentTitle() const {
    return QString::fromStdString(entries_[static_cast<size_t>(current_)].title);
}

QString SourceMenuModel::currentSymbol() const {
    return QString::fromStdString(entries_[static_cast<size_t>(current_)].symbol);
}

void SourceMenuModel::choose(int row) {
    if (row < 0 || row >= rowCount() || entries_[static_cast<size_t>(row)].isDivider || !controller_) {
        return;
    }
    const std::optional<std::string> id = entries_[static_cast<size_t>(row)].id;
    emit chosen();
    if (id == kDeckLinkSetupID) {
        controller_->showDeckLinkSetup();
        return;
    }
    write_(id);
}

void SourceMenuModel::rebuild() {
    if (!controller_) {
        return;
    }
    const std::optional<std::string> selection = read_();
    std::vector<SourceMenuEntry> next = sourceMenuEntries(controller_->devices(), controller_->ndiSources(),
                                                          selection, noneTitle_, deckLinkProbe_());
    const int current = std::max(0, selectedSourceEntry(next, selection));
    const int previous = current_;
    const std::optional<SourceMenuEntry> shown =
        entries_.empty() ? std::nullopt : std::optional(entries_[static_cast<size_t>(previous)]);
    if (next != entries_) {
        beginResetModel();
        entries_ = std::move(next);
        current_ = current;
        endResetModel();
    } else if (current != previous) {
        current_ = current;
        emit dataChanged(index(previous), index(previous), {SelectedRole});
        emit dataChanged(index(current), index(current), {SelectedRole});
    }
    if (current_ != previous || shown != entries_[static_cast<size_t>(current_)]) {
        emit currentChanged();
    }
}

}  // namespace kelvora
