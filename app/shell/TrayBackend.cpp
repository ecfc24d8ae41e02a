#include "app/shell/TrayBackend.h"

#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QPainter>
#include <QPixmap>

#include <QSystemTrayIcon>
#include <algorithm>

#include "receiver/session/views/SymbolProvider.h"

namespace kelvora {
namespace {

QIcon symbolIcon(const QString& symbol, const QColor& color) {
    QIcon icon;
    for (int size : {16, 22, 32, 48}) {
        icon.addPixmap(QPixmap::fromImage(SymbolProvider::render(symbol, color, QSize(size, size))));
    }
    return icon;
}

}  // namespace

QImage traySymbolImage(const QString& symbol, const QColor& color, int size) {
    const QColor rim = color.lightnessF() < 0.5 ? QColor(255, 255, 255, 200) : QColor(0, 0, 0, 200);
    const QSize inner(std::max(size - 2, 1), std::max(size - 2, 1));
    const QImage shape = SymbolProvider::render(symbol, color, inner);
    const QImage outline = SymbolProvider::render(symbol, rim, inner);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    for (int dy = 0; dy <= 2; ++dy) {
        for (int dx = 0; dx <= 2; ++dx) {
            painter.drawImage(dx, dy, outline);
        }
    }
    painter.drawImage(1, 1, shape);
    painter.end();
    return image;
}

SystemTrayBackend::SystemTrayBackend()
    : menu_(std::make_unique<QMenu>()), icon_(std::make_unique<QSystemTrayIcon>()) {
    icon_->setContextMenu(menu_.get());
}

SystemTrayBackend::~SystemTrayBackend() {
    icon_->hide();
}

void SystemTrayBackend::start(std::function<void()> clicked, std::function<void(TrayAction)> chosen) {
    chosen_ = std::move(chosen);
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                     [clicked = std::move(clicked)](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) {
                             clicked();
                         }
                     });
}

void SystemTrayBackend::setSymbol(const QString& symbol) {
    QIcon icon;
    for (int size : {16, 22, 32, 48}) {
        icon.addPixmap(
            QPixmap::fromImage(traySymbolImage(symbol, menu_->palette().windowText().color(), size)));
    }
    icon_->setIcon(icon);
    // Shown once it has an icon; a tray host that appears later picks it up by itself.
    icon_->show();
}

void SystemTrayBackend::setToolTip(const QString& text) {
    icon_->setToolTip(text);
}

void SystemTrayBackend::setMenu(const std::vector<TrayRow>& rows) {
    menu_->clear();
    for (const TrayRow& row : rows) {
        if (row.action == TrayAction::quit) {
            menu_->addSeparator();
        }
        QAction* action =
            menu_->addAction(symbolIcon(QString::fromStdString(row.symbol), menu_->palette().text().color()),
                             QString::fromStdString(row.title));
        if (row.action == TrayAction::quit) {
            // Names the program's own Ctrl+Q, as the main window's menu does. The key stays the program's: a
            // shortcut of the menu's own, with the widget context, is live only while the open menu has the
            // keyboard, where it runs the same quit the program's key would.
            action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
            action->setShortcutContext(Qt::WidgetShortcut);
        }
        QObject::connect(action, &QAction::triggered, [this, which = row.action] {
            if (chosen_) {
                chosen_(which);
            }
        });
    }
}

QRect SystemTrayBackend::iconGeometry() const {
    return icon_->geometry();
}

}  // namespace kelvora
