#include "receiver/session/views/LicenseListModel.h"

#include "core/LicenseRegistry.h"

namespace kelvora {
namespace {

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

}  // namespace

LicenseListModel::LicenseListModel(QObject* parent)
    : QAbstractListModel(parent), rows_(licenseRows(LicenseRegistry::entries())) {}

QString LicenseListModel::title() {
    return text(kLicenseListTitle);
}

QString LicenseListModel::footer() {
    return text(licenseListFooter());
}

int LicenseListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant LicenseListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= rows_.size()) {
        return {};
    }
    const LicenseRow& row = rows_[static_cast<size_t>(index.row())];
    switch (role) {
        case NameRole:
            return text(row.name);
        case LicenseRole:
            return text(row.license);
        case VersionTextRole:
            return text(row.versionText);
        case NoticeRole:
            return text(row.notice);
        case LinkRole:
            return text(row.link);
        default:
            return {};
    }
}

QHash<int, QByteArray> LicenseListModel::roleNames() const {
    return {{NameRole, "name"},
            {LicenseRole, "license"},
            {VersionTextRole, "versionText"},
            {NoticeRole, "notice"},
            {LinkRole, "link"}};
}

}  // namespace kelvora
