#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <string>

#include "app/developer/ModelTypes.h"
#include "receiver/session/views/VideoItem.h"

namespace kelvora {

// One extra output in the outputs panel: its number, its stored name (followed wherever it is changed, so
// that the field never holds a name the output no longer has), its source and format pickers, its status
// line and its preview. Picks and names go to the controller's output
// operations, one call each; a stored value that no picker row offers selects nothing.
// GUI thread only.
class OutputRowModel final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("the outputs panel makes its rows")
    Q_PROPERTY(QString outputID READ outputID CONSTANT)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(int number READ number NOTIFY changed)
    Q_PROPERTY(kelvora::VideoFeed* feed READ feed NOTIFY changed)
    Q_PROPERTY(QString statusLine READ statusLine NOTIFY changed)
    Q_PROPERTY(QStringList sourceLabels READ sourceLabels NOTIFY changed)
    Q_PROPERTY(int sourceIndex READ sourceIndex NOTIFY changed)
    Q_PROPERTY(QStringList resolutionLabels READ resolutionLabels CONSTANT)
    Q_PROPERTY(int resolutionIndex READ resolutionIndex NOTIFY changed)
    Q_PROPERTY(QStringList frameRateLabels READ frameRateLabels CONSTANT)
    Q_PROPERTY(int frameRateIndex READ frameRateIndex NOTIFY changed)

  public:
    OutputRowModel(SenderController& controller, ExtraOutput& output, QObject* parent = nullptr);

    // The controller made a new output object for the same id (its number changed).
    void setOutput(ExtraOutput& output);

    QString outputID() const { return QString::fromStdString(id_); }
    QString name() const { return name_; }
    int number() const { return output_ ? output_->number() : 0; }
    VideoFeed* feed() const { return feed_; }
    QString statusLine() const { return statusLine_; }
    QStringList sourceLabels() const { return sourceLabels_; }
    int sourceIndex() const { return sourceIndex_; }
    QStringList resolutionLabels() const;
    int resolutionIndex() const { return resolutionIndex_; }
    QStringList frameRateLabels() const;
    int frameRateIndex() const { return frameRateIndex_; }

    Q_INVOKABLE void commitName(const QString& name);
    Q_INVOKABLE void chooseSource(int index);
    Q_INVOKABLE void chooseResolution(int index);
    Q_INVOKABLE void chooseFrameRate(int index);
    Q_INVOKABLE void reconnect();
    Q_INVOKABLE void remove();

  signals:
    void changed();
    void nameChanged();

  private:
    void refresh();

    QPointer<SenderController> controller_;
    QPointer<ExtraOutput> output_;
    QPointer<VideoFeed> feed_;
    const std::string id_;
    QString name_;
    QString statusLine_;
    QStringList sourceLabels_;
    std::vector<std::optional<std::string>> sourceValues_;
    int sourceIndex_ = -1;
    int resolutionIndex_ = -1;
    int frameRateIndex_ = -1;
};

}  // namespace kelvora
