#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QQuickItem>

#include <functional>
#include <vector>

namespace kelvora {

class SenderController;

// Keeps one preview flag of the controller equal to what is shown. Views put a PreviewHost where their
// preview is; this object follows the hosts' visibility, their windows, and those windows' shown and
// minimised states, and hands the flag to `apply` whenever it changes (once at construction too, so the
// flag never keeps a value nobody derived). The preview is on screen while any host is: which view appeared
// or disappeared last does not matter, since when one view replaces another the new one may come before the
// old one goes, and a flag written by each in turn would end false under a picture on screen.
//
// Threads: GUI thread only.
class PreviewVisibility final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("the window host makes one per preview flag")
    Q_PROPERTY(bool shown READ shown NOTIFY shownChanged)

  public:
    explicit PreviewVisibility(std::function<void(bool)> apply, QObject* parent = nullptr);
    // The main window's preview flag (`isMainPreviewVisible`).
    static std::function<void(bool)> mainPreviewOf(SenderController& controller);
    // The tray panel's preview flag (`isMenuPreviewVisible`).
    static std::function<void(bool)> menuPreviewOf(SenderController& controller);

    void addHost(QQuickItem* host);
    void removeHost(QQuickItem* host);
    bool shown() const { return shown_; }

  signals:
    void shownChanged();

  private:
    void watchWindow(QQuickWindow* window);
    void update();

    std::function<void(bool)> apply_;
    std::vector<QPointer<QQuickItem>> hosts_;
    std::vector<QPointer<QQuickWindow>> windows_;
    bool shown_ = false;
};

// The place of a preview in a view: counts for its `visibility` while it is visible in a shown window.
class PreviewHost : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(
        kelvora::PreviewVisibility* visibility READ visibility WRITE setVisibility NOTIFY visibilityChanged)

  public:
    explicit PreviewHost(QQuickItem* parent = nullptr);
    ~PreviewHost() override;

    PreviewVisibility* visibility() const { return visibility_; }
    void setVisibility(PreviewVisibility* visibility);

  signals:
    void visibilityChanged();

  private:
    QPointer<PreviewVisibility> visibility_;
};

}  // namespace kelvora
