#include "app/developer/OutputsPanelModel.h"

#include "app/developer/DashboardPresenters.h"

namespace kelvora {

namespace {
constexpr int kRowRole = Qt::UserRole + 1;
}  // namespace

OutputsPanelModel::OutputsPanelModel(QObject* parent) : QAbstractListModel(parent) {}

void OutputsPanelModel::setController(SenderController* controller) {
    if (controller_ == controller) {
        return;
    }
    if (controller_) {
        disconnect(controller_, nullptr, this, nullptr);
    }
    beginResetModel();
    for (OutputRowModel* row : rows_) {
        row->deleteLater();
    }
    rows_.clear();
    controller_ = controller;
    endResetModel();
    if (controller_) {
        connect(controller_, &SenderController::extraOutputsChanged, this, &OutputsPanelModel::syncRows);
        connect(controller_, &SenderController::settingsChanged, this, &OutputsPanelModel::refresh);
    }
    emit controllerChanged();
    syncRows();
}

void OutputsPanelModel::syncRows() {
    const QList<ExtraOutput*> outputs = controller_ ? controller_->extraOutputs() : QList<ExtraOutput*>{};
    const auto wanted = [&](const OutputRowModel* row) {
        return std::any_of(outputs.begin(), outputs.end(),
                           [&](const ExtraOutput* output) { return output->qmlID() == row->outputID(); });
    };
    for (int i = static_cast<int>(rows_.size()) - 1; i >= 0; --i) {
        if (!wanted(rows_[static_cast<size_t>(i)])) {
            beginRemoveRows({}, i, i);
            rows_[static_cast<size_t>(i)]->deleteLater();
            rows_.erase(rows_.begin() + i);
            endRemoveRows();
        }
    }
    for (int i = 0; i < outputs.size(); ++i) {
        ExtraOutput* output = outputs[i];
        const auto found = std::find_if(rows_.begin(), rows_.end(), [&](const OutputRowModel* row) {
            return row->outputID() == output->qmlID();
        });
        if (found != rows_.end()) {
            (*found)->setOutput(*output);
            continue;
        }
        const int at = std::min(i, static_cast<int>(rows_.size()));
        beginInsertRows({}, at, at);
        rows_.insert(rows_.begin() + at, new OutputRowModel(*controller_, *output, this));
        endInsertRows();
    }
    refresh();
}

void OutputsPanelModel::refresh() {
    const QString name = controller_ ? QString::fromStdString(controller_->displayName()) : QString();
    const bool canAdd = controller_ && canAddOutput(static_cast<size_t>(controller_->extraOutputs().size()));
    if (name == displayName_ && canAdd == canAdd_ && showsHint() == showedHint_) {
        return;
    }
    displayName_ = name;
    canAdd_ = canAdd;
    showedHint_ = showsHint();
    emit changed();
}

int OutputsPanelModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant OutputsPanelModel::data(const QModelIndex& index, int role) const {
    if (role != kRowRole || !index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    return QVariant::fromValue(static_cast<QObject*>(rows_[static_cast<size_t>(index.row())]));
}

QHash<int, QByteArray> OutputsPanelModel::roleNames() const {
    return {{kRowRole, "row"}};
}

OutputRowModel* OutputsPanelModel::row(int index) const {
    return index >= 0 && index < rowCount() ? rows_[static_cast<size_t>(index)] : nullptr;
}

void OutputsPanelModel::addOutput() {
    if (controller_ && canAdd_) {
        controller_->addOutput();
    }
}

}  // namespace kelvora
