#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>

#include <vector>

#include "receiver/session/presenters/LicenseList.h"

namespace kelvora {

// The rows of one licence list. The registry is read once, when the model is made: an entry registered
// later appears in lists made after it.
class LicenseListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(QString footer READ footer CONSTANT)

  public:
    enum Role { NameRole = Qt::UserRole + 1, LicenseRole, VersionTextRole, NoticeRole, LinkRole };

    explicit LicenseListModel(QObject* parent = nullptr);

    static QString title();
    static QString footer();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

  private:
    std::vector<LicenseRow> rows_;
};

}  // namespace kelvora
