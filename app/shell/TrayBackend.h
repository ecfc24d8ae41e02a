#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "app/shell/ShellPresenters.h"

class QSystemTrayIcon;
class QMenu;

namespace kelvora {

// Where the tray icon lives: the desktop's notification area, or a fake in tests. A desktop without a tray
// host simply shows nothing; the program works without it.
class TrayBackend {
  public:
    virtual ~TrayBackend() = default;
    // `clicked`: the icon's primary click; `chosen`: an entry of the context menu.
    virtual void start(std::function<void()> clicked, std::function<void(TrayAction)> chosen) = 0;
    virtual void setSymbol(const QString& symbol) = 0;
    virtual void setToolTip(const QString& text) = 0;
    virtual void setMenu(const std::vector<TrayRow>& rows) = 0;
};

// The tray symbol at `size` pixels in `color`, with a one-pixel rim in the opposite tone: tray hosts draw it
// on a panel whose colour the program cannot ask for, often dark under a light theme.
QImage traySymbolImage(const QString& symbol, const QColor& color, int size);

// QSystemTrayIcon with a context menu; icons drawn from the symbol names.
class SystemTrayBackend final : public TrayBackend {
  public:
    SystemTrayBackend();
    ~SystemTrayBackend() override;

    void start(std::function<void()> clicked, std::function<void(TrayAction)> chosen) override;
    void setSymbol(const QString& symbol) override;
    void setToolTip(const QString& text) override;
    void setMenu(const std::vector<TrayRow>& rows) override;
    // Where the icon is on screen; empty where the tray does not say.
    QRect iconGeometry() const;

  private:
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::function<void(TrayAction)> chosen_;
};

}  // namespace kelvora
