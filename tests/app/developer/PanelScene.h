#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QStringList>
#include <QTest>
#include <QtMath>

#include <gtest/gtest.h>

#include "receiver/session/views/UiEngine.h"
#include "support/QtWarnings.h"

namespace kelvora::testing {

// One view of the dashboard's QML, offscreen on the software scene graph.
class PanelScene {
  public:
    PanelScene() {
        prepareUiEngine(*view.engine());
        view.setColor(Qt::white);
        view.setResizeMode(QQuickView::SizeRootObjectToView);
    }

    // A file of the Kelvora.Developer module, with its root's properties set before it is shown.
    QQuickItem* load(const QString& file, const QVariantMap& properties = {}, QSize size = {900, 400}) {
        view.setInitialProperties(properties);
        view.setSource(QUrl("qrc:/qt/qml/Kelvora/Developer/" + file));
        for (const QQmlError& error : view.errors()) {
            ADD_FAILURE() << error.toString().toStdString();
        }
        view.resize(size);
        view.show();
        return view.rootObject();
    }

    QQuickItem* child(const QString& name, QQuickItem* below = nullptr) {
        QQuickItem* found = findItem(below ? below : view.rootObject(), name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }

    // A left click in the middle of the item, as a user makes it.
    void click(QQuickItem* item) {
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(&view, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    // The root at its own height, as the dashboard's column gives it.
    QImage screenshot(const QString& file) {
        // Wrapped texts grow once they know their width, which changes the root's height again.
        for (int pass = 0; pass < 4; ++pass) {
            view.grabWindow();  // lays out what changed since the last frame
            QQuickItem* root = view.rootObject();
            if (!root || root->implicitHeight() <= 0 || qCeil(root->implicitHeight()) == view.height()) {
                break;
            }
            view.resize(view.width(), qCeil(root->implicitHeight()));
            QCoreApplication::processEvents();
        }
        const QImage image = view.grabWindow();
        image.save(QDir(KELVORA_UI_SCREENSHOTS).filePath(file));
        return image;
    }

    QQuickView view;
};

}  // namespace kelvora::testing
