#pragma once

#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QString>
#include <QVariantList>
#include <memory>

#include "app/model/SenderController.h"
#include "app/shell/ShellPresenters.h"
#include "app/shell/TrayBackend.h"
#include "receiver/session/views/VideoFeed.h"
#include "receiver/session/views/VideoItem.h"

namespace kelvora {

class MainWindowModel;

// The tray: keeps the icon's symbol, tooltip and context menu in step with the controller, and is the
// model of the panel that a click on the icon shows. The panel and the menu carry the same action rows.
class TrayModel final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the program")
    Q_PROPERTY(QString displayName READ displayName NOTIFY changed)
    Q_PROPERTY(QString badgeTitle READ badgeTitle NOTIFY changed)
    Q_PROPERTY(QString badgeColor READ badgeColor NOTIFY changed)
    Q_PROPERTY(bool showsPicture READ showsPicture NOTIFY changed)
    Q_PROPERTY(QString statusTitle READ statusTitle NOTIFY changed)
    Q_PROPERTY(QString statusDetail READ statusDetail NOTIFY changed)
    // Each {label, value}.
    Q_PROPERTY(QVariantList figures READ figures NOTIFY changed)
    // Each {action, title, symbol, dividerBefore, tray}: `tray` is this model, for the row's tap.
    Q_PROPERTY(QVariantList rows READ rows NOTIFY changed)
    Q_PROPERTY(kelvora::VideoFeed* preview READ preview CONSTANT)

  public:
    // `togglePanel` shows the panel when hidden and hides it when shown.
    TrayModel(SenderController& controller, MainWindowModel& commands, TrayBackend& backend,
              std::function<void()> togglePanel, QObject* parent = nullptr);

    QString displayName() const { return displayName_; }
    QString badgeTitle() const { return statusTitle_.toUpper(); }
    QString badgeColor() const { return badgeColor_; }
    bool showsPicture() const { return showsPicture_; }
    QString statusTitle() const { return statusTitle_; }
    QString statusDetail() const { return statusDetail_; }
    QVariantList figures() const { return figures_; }
    QVariantList rows() const { return rows_; }
    VideoFeed* preview() const { return preview_; }

    // The panel tells when it is on screen: only then does the menu preview get pictures.
    Q_INVOKABLE void setPanelVisible(bool visible);
    // `action` is a TrayAction as an int.
    Q_INVOKABLE void trigger(int action);

  signals:
    void changed();

  private:
    void update();

    SenderController& controller_;
    MainWindowModel& commands_;
    TrayBackend& backend_;
    std::function<void()> togglePanel_;
    QPointer<VideoFeed> preview_;  // the controller's, shared with every view of the menu preview

    QString displayName_;
    QString statusTitle_;
    QString statusDetail_;
    QString badgeColor_;
    bool showsPicture_ = false;
    QVariantList figures_;
    QVariantList rows_;
    QString symbol_;
    std::vector<TrayRow> menuRows_;
};

}  // namespace kelvora
