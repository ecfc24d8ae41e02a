#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>

#include "app/developer/DashboardPresenters.h"
#include "app/developer/ModelTypes.h"
#include "receiver/session/views/VideoItem.h"

namespace kelvora {

// What the dashboard's preview panel shows: the picture or the placeholder with its reason and actions, the
// status badge and the chips over the picture. `changed` fires only when something shown changed.
// GUI thread only.
class PreviewPanelModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(
        kelvora::SenderController* controller READ controller WRITE setController NOTIFY controllerChanged)
    Q_PROPERTY(kelvora::VideoFeed* feed READ feed NOTIFY controllerChanged)
    Q_PROPERTY(bool showsVideo READ showsVideo NOTIFY changed)
    Q_PROPERTY(QString placeholderSymbol READ placeholderSymbol NOTIFY changed)
    Q_PROPERTY(QString statusTitle READ statusTitle NOTIFY changed)
    Q_PROPERTY(QString statusDetail READ statusDetail NOTIFY changed)
    Q_PROPERTY(bool offersCameraAccess READ offersCameraAccess NOTIFY changed)
    Q_PROPERTY(bool offersResume READ offersResume NOTIFY changed)
    Q_PROPERTY(bool badgePulsing READ badgePulsing NOTIFY changed)
    Q_PROPERTY(QString badgeColor READ badgeColor NOTIFY changed)
    Q_PROPERTY(bool warnsBlack READ warnsBlack NOTIFY changed)
    Q_PROPERTY(QString formatChip READ formatChip NOTIFY changed)
    Q_PROPERTY(QString sourceName READ sourceName NOTIFY changed)
    Q_PROPERTY(QString sourceChipSymbol READ sourceChipSymbol NOTIFY changed)
    Q_PROPERTY(QString rateChip READ rateChip NOTIFY changed)

  public:
    explicit PreviewPanelModel(QObject* parent = nullptr);

    SenderController* controller() const { return controller_; }
    void setController(SenderController* controller);
    VideoFeed* feed() const { return feed_; }

    bool showsVideo() const { return text_.showsVideo; }
    QString placeholderSymbol() const { return QString::fromStdString(text_.placeholderSymbol); }
    QString statusTitle() const { return title_; }
    QString statusDetail() const { return detail_; }
    bool offersCameraAccess() const { return text_.offersCameraAccess; }
    bool offersResume() const { return text_.offersResume; }
    bool badgePulsing() const { return text_.badgePulsing; }
    QString badgeColor() const { return tokenName(); }
    bool warnsBlack() const { return text_.warnsBlack; }
    QString formatChip() const { return QString::fromStdString(text_.formatChip); }
    QString sourceName() const { return sourceName_; }
    QString sourceChipSymbol() const { return QString::fromStdString(text_.sourceChipSymbol); }
    QString rateChip() const { return QString::fromStdString(text_.rateChip); }

    Q_INVOKABLE void allowCameraAccess();
    Q_INVOKABLE void resume();

  signals:
    void controllerChanged();
    void changed();

  private:
    void refresh();
    QString tokenName() const;

    QPointer<SenderController> controller_;
    QPointer<VideoFeed> feed_;
    PreviewPanelText text_;
    QString title_;
    QString detail_;
    QString sourceName_;
};

}  // namespace kelvora
