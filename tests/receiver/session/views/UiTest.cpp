#include "core/LicenseRegistry.h"
#include "platform/PixelTransfer.h"
#include "receiver/session/presenters/Symbols.h"
#include "receiver/session/views/LicenseListModel.h"
#include "receiver/session/views/SymbolProvider.h"
#include "receiver/session/views/Theme.h"
#include "receiver/session/views/UiEngine.h"
#include "receiver/session/views/VideoFeed.h"
#include "receiver/session/views/VideoItem.h"
#include "receiver/session/views/WindowHeight.h"

#include <QDir>
#include <QFileInfo>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSvgRenderer>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <thread>
#include "support/UniformPicture.h"

namespace kelvora {
namespace {

// Collects every warning Qt prints while it lives.
class WarningCapture {
  public:
    WarningCapture() {
        warnings().clear();
        previous_ = qInstallMessageHandler(&WarningCapture::handle);
    }
    ~WarningCapture() { qInstallMessageHandler(previous_); }
    static QStringList& warnings() {
        static QStringList list;
        return list;
    }

  private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtDebugMsg && type != QtInfoMsg) {
            warnings().append(message);
        }
    }
    QtMessageHandler previous_;
};

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

int opaquePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += qAlpha(image.pixel(x, y)) > 128;
        }
    }
    return count;
}

TEST(SymbolProvider, EveryKnownNameHasItsOwnDrawing) {
    const QImage fallback = SymbolProvider::render(u"no.such.symbol", Qt::red, QSize(32, 32));
    for (std::string_view name : knownSymbolNames()) {
        const QString resource = SymbolProvider::resourceFor(text(name));
        ASSERT_NE(resource, SymbolProvider::fallbackResource()) << name;
        EXPECT_TRUE(QSvgRenderer(resource).isValid()) << name;
        const QImage image = SymbolProvider::render(text(name), Qt::red, QSize(32, 32));
        EXPECT_GT(opaquePixels(image), 20) << name;
        EXPECT_NE(image, fallback) << name;
    }
}

TEST(SymbolProvider, TintsAndFallsBackForAnyOtherId) {
    SymbolProvider provider;
    QSize size;
    const QImage tinted = provider.requestImage("xmark/00ff00", &size, QSize(24, 24));
    EXPECT_EQ(size, QSize(24, 24));
    const QRgb centre = tinted.pixel(12, 12);
    EXPECT_EQ(qRed(centre), 0);
    EXPECT_GT(qGreen(centre), 200);

    const QImage fallback = SymbolProvider::render(u"?", Qt::black, QSize(24, 24));
    for (const char* id : {"../../etc/passwd", "xmark.svg", "", "/", "xmark/zzzzzz", "xmark ", "\xff\xfe"}) {
        const QImage image = provider.requestImage(QString::fromUtf8(id), &size, QSize(24, 24));
        const bool named = QString::fromUtf8(id).startsWith("xmark/");
        EXPECT_EQ(image == fallback, !named) << id;
    }
    provider.requestImage("xmark", &size, QSize(100000, 100000));
    EXPECT_EQ(size, QSize(512, 512));
}

TEST(Theme, TokensResolveInLightAndDark) {
    Theme theme;
    for (bool dark : {false, true}) {
        theme.setDark(dark);
        EXPECT_EQ(theme.color("liveRed"), QColor(240, 59, 54));
        EXPECT_EQ(theme.color("no such token"), theme.color(ColorToken::gray));
        EXPECT_NEAR(theme.hairline().alphaF(), 0.08, 0.005);
        EXPECT_NE(theme.cardBackground(), theme.primaryText());
    }
    theme.setDark(false);
    const QColor lightOrange = theme.color("orange");
    theme.setDark(true);
    EXPECT_NE(theme.color("orange"), lightOrange);
}

class UiScene : public ::testing::Test {
  protected:
    UiScene() {
        prepareUiEngine(*view.engine());
        view.setColor(Qt::white);
    }

    static bool listsQt() {
        const auto entries = LicenseRegistry::entries();
        return std::any_of(entries.begin(), entries.end(), [](const LicenseEntry& entry) {
            return entry.name == "Qt" && entry.version == qVersion();
        });
    }

    QQuickItem* load(const QUrl& source) {
        view.setSource(source);
        for (const QQmlError& error : view.errors()) {
            ADD_FAILURE() << error.toString().toStdString();
        }
        view.show();
        return view.rootObject();
    }

    template <typename T = QQuickItem>
    T* child(const char* name) {
        T* found = view.rootObject()->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QImage screenshot(const char* file) {
        const QImage image = view.grabWindow();
        image.save(QDir(KELVORA_UI_SCREENSHOTS).filePath(file));
        return image;
    }

    QQuickView view;
};

TEST_F(UiScene, EveryQmlFileOfTheModuleLoadsWithoutAWarning) {
    WarningCapture capture;
    const QStringList files = QDir(":/qt/qml/Kelvora/Ui").entryList({"*.qml"});
    ASSERT_GE(files.size(), 8);
    for (const QString& file : files) {
        // Through the module's import, as the programs use them.
        QQmlComponent component(view.engine());
        component.setData(("import Kelvora.Ui\n" + QFileInfo(file).baseName() + " {}\n").toUtf8(), QUrl());
        std::unique_ptr<QObject> object(component.create());
        EXPECT_NE(object, nullptr) << file.toStdString() << ": " << component.errorString().toStdString();
    }
    load(QUrl::fromLocalFile(KELVORA_UI_TEST_QML "/Gallery.qml"));
    QTest::qWait(50);
    EXPECT_TRUE(capture.warnings().isEmpty()) << capture.warnings().join("\n").toStdString();
}

TEST_F(UiScene, GalleryShowsEachWidgetAsItsCallerAsked) {
    QQuickItem* root = load(QUrl::fromLocalFile(KELVORA_UI_TEST_QML "/Gallery.qml"));
    ASSERT_NE(root, nullptr);
    QQuickItem* titled = child("titledCard");
    QQuickItem* untitled = child("untitledCard");
    ASSERT_TRUE(titled && untitled);
    EXPECT_TRUE(titled->findChild<QQuickItem*>("cardHeader")->isVisible());
    EXPECT_FALSE(untitled->findChild<QQuickItem*>("cardHeader")->isVisible());

    EXPECT_FALSE(child("unitlessTile")->findChild<QQuickItem*>("metricUnit")->isVisible());
    EXPECT_TRUE(child("bitrateTile")->findChild<QQuickItem*>("metricUnit")->isVisible());
    QQuickItem* longIcon = child("longTile")->findChild<QQuickItem*>("metricIcon");
    EXPECT_EQ(longIcon->width(), 36);
    EXPECT_EQ(longIcon->height(), 36);

    QQuickItem* emptyPill = child("emptyPill");
    EXPECT_EQ(emptyPill->width(), 14);
    EXPECT_GT(emptyPill->height(), 4);

    const QString clock = child("clock")->property("text").toString();
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$").match(clock).hasMatch())
        << clock.toStdString();
    screenshot("gallery.png");
}

TEST_F(UiScene, ABadgeThatStartsPulsingLaterAnimatesAndStopsStill) {
    QQuickItem* root = load(QUrl::fromLocalFile(KELVORA_UI_TEST_QML "/Gallery.qml"));
    ASSERT_NE(root, nullptr);
    auto* live = child<QObject>("liveBadge")->findChild<QObject*>("badgePulse");
    auto* later = child<QObject>("laterBadge")->findChild<QObject*>("badgePulse");
    QQuickItem* dot = child("laterBadge")->findChild<QQuickItem*>("badgeDot");
    EXPECT_TRUE(live->property("running").toBool());
    EXPECT_FALSE(later->property("running").toBool());
    EXPECT_EQ(dot->scale(), 1.0);

    root->setProperty("laterPulsing", true);
    EXPECT_TRUE(later->property("running").toBool());
    QTRY_VERIFY_WITH_TIMEOUT(dot->scale() > 1.0, 10000);

    root->setProperty("laterPulsing", false);
    EXPECT_FALSE(later->property("running").toBool());
    EXPECT_EQ(dot->scale(), 1.0);
    EXPECT_EQ(dot->opacity(), 1.0);
}

TEST_F(UiScene, LicenceListShowsTheRegistryAsItWasWhenMade) {
    load(QUrl::fromLocalFile(KELVORA_UI_TEST_QML "/LicensesWindow.qml"));
    auto* list = child("licenseList");
    ASSERT_NE(list, nullptr);
    const auto entries = LicenseRegistry::entries();
    EXPECT_TRUE(listsQt()) << "a window links Qt, so its licence is listed";
    EXPECT_EQ(list->property("count").toInt(), static_cast<int>(entries.size()));
    EXPECT_EQ(view.rootObject()->property("title").toString(), "Lizenzen");
    screenshot("licenses.png");

    LicenseRegistry::registerEntry({"Testkomponente", "1", "MIT", "keine Adresse", "Nur im Test."});
    EXPECT_EQ(list->property("count").toInt(), static_cast<int>(entries.size()));
    LicenseListModel later;
    ASSERT_EQ(later.rowCount(), static_cast<int>(entries.size()) + 1);
    const QModelIndex last = later.index(later.rowCount() - 1);
    EXPECT_EQ(later.data(last, LicenseListModel::NameRole).toString(), "Testkomponente");
    EXPECT_EQ(later.data(last, LicenseListModel::LinkRole).toString(), "");
}

PixelBuffer picture(int width, int height, uint8_t luma) {
    return testing::uniformPicture(width, height, luma);
}

// A flat picture of one colour: BGRA as given, NV12 as its video-range BT.709 equivalent.
PixelBuffer flat(PixelFormat format, int width, int height) {
    PixelBuffer buffer = PixelBuffer::make(format, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer.data(0) + y * buffer.stride(0);
        for (int x = 0; x < width; ++x) {
            if (format == PixelFormat::bgra) {
                const uint8_t bgra[4] = {60, 200, 40, 255};
                std::memcpy(row + x * 4, bgra, 4);
            } else {
                row[x] = 150;
            }
        }
    }
    if (format == PixelFormat::nv12) {
        for (int y = 0; y < buffer.planeHeight(1); ++y) {
            uint8_t* row = buffer.data(1) + y * buffer.stride(1);
            for (int x = 0; x < buffer.planeWidth(1); ++x) {
                row[x * 2] = 83;
                row[x * 2 + 1] = 63;
            }
        }
    }
    return buffer;
}

TEST(LetterboxForScreen, FitsEitherLayoutOnOpaqueBlackInItsColours) {
    const struct {
        PixelFormat format;
        int width, height;
        int barWidth, barHeight;  // of the 320x180 result
    } cases[] = {
        {PixelFormat::bgra, 1920, 1080, 0, 0}, {PixelFormat::bgra, 640, 480, 40, 0},
        {PixelFormat::bgra, 160, 40, 0, 50},   {PixelFormat::bgra, 320, 180, 0, 0},
        {PixelFormat::nv12, 1920, 1080, 0, 0}, {PixelFormat::nv12, 640, 480, 40, 0},
    };
    PixelTransfer transfer(TransferQuality::display);
    for (const auto& c : cases) {
        const PixelBuffer result = PixelBuffer::make(PixelFormat::bgra, 320, 180);
        std::memset(result.data(0), 0x77, static_cast<size_t>(result.stride(0)) * 180);
        letterboxForScreen(transfer, flat(c.format, c.width, c.height), result);
        const auto at = [&](int x, int y) {
            const uint8_t* p = result.data(0) + y * result.stride(0) + x * 4;
            return std::array<int, 4>{p[0], p[1], p[2], p[3]};
        };
        const std::string where = std::string(c.format == PixelFormat::nv12 ? "NV12 " : "BGRA ") +
                                  std::to_string(c.width) + "x" + std::to_string(c.height);
        for (const auto& [x, y] : {std::pair{c.barWidth, c.barHeight}, std::pair{160, 90},
                                   std::pair{319 - c.barWidth, 179 - c.barHeight}}) {
            const auto pixel = at(x, y);
            EXPECT_NEAR(pixel[0], 60, 4) << where << " at " << x << "," << y;
            EXPECT_NEAR(pixel[1], 200, 4) << where << " at " << x << "," << y;
            EXPECT_NEAR(pixel[2], 40, 4) << where << " at " << x << "," << y;
            EXPECT_EQ(pixel[3], 255) << where << " at " << x << "," << y;
        }
        if (c.barWidth > 0 || c.barHeight > 0) {
            EXPECT_EQ(at(0, 0), (std::array<int, 4>{0, 0, 0, 255})) << where;
            EXPECT_EQ(at(319, 179), (std::array<int, 4>{0, 0, 0, 255})) << where;
            EXPECT_EQ(at(c.barWidth - (c.barWidth > 0), c.barHeight - (c.barHeight > 0)),
                      (std::array<int, 4>{0, 0, 0, 255}))
                << where;
        }
    }
    EXPECT_THROW(
        letterboxForScreen(transfer, flat(PixelFormat::bgra, 64, 36), flat(PixelFormat::nv12, 64, 36)),
        PixelBufferError);
}

// A freely sized window starts at its height, lower where the screen's free area is, its minimum giving way
// too; and with its frame within that area wherever the window manager put it (above the area, or so low
// that the window reaches past its lower edge).
TEST(WindowHeight, AFreeWindowStartsWithinTheScreensFreeArea) {
    const QRect area = QQuickWindow().screen()->availableGeometry();
    const int available = area.height();
    const struct {
        int minimum, start, top;
    } cases[] = {{200, 300, 0},
                 {available + 50, available + 100, 0},
                 {available - 150, available - 100, 150},
                 {200, 300, -30}};
    for (const auto& c : cases) {
        QQuickWindow window;
        window.setFramePosition({0, area.top() + c.top});
        WindowHeight rule;
        rule.setFitsContent(false);
        rule.setProperty("freeMinimumHeight", c.minimum);
        rule.setProperty("freeHeight", c.start);
        rule.setWindow(&window);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        const QMargins frame = window.frameMargins();
        const int expected = std::min(c.start, available - frame.top() - frame.bottom());
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return window.height() == expected && area.contains(window.frameGeometry());
        })) << c.start
            << ": " << window.height() << " instead of " << expected << ", frame from "
            << window.frameGeometry().top();
        EXPECT_LE(window.minimumHeight(), expected) << c.start;
    }
}

TEST_F(UiScene, VideoItemFitsOnBlackRoundsCornersAndRepaintsOnlyForNewPictures) {
    QQuickItem* root = load(QUrl::fromLocalFile(KELVORA_UI_TEST_QML "/Gallery.qml"));
    ASSERT_NE(root, nullptr);
    auto* item = child<VideoItem>("video");
    ASSERT_NE(item, nullptr);
    auto renderer = std::make_shared<VideoRenderer>();
    VideoFeed feed(renderer);
    item->setFeed(&feed);
    // A 4:3 picture from another thread, as a decoder delivers it.
    std::thread([&] { renderer->enqueue(picture(640, 480, 180)); }).join();
    QTRY_VERIFY_WITH_TIMEOUT(
        item->uploadCount() >= 1 &&
            [&] {
                const QImage shot = view.grabWindow();
                const QPointF centre = item->mapToScene(QPointF(160, 90));
                return qGreen(shot.pixel(centre.toPoint())) > 150;
            }(),
        10000);
    const QImage shot = screenshot("video.png");
    const auto at = [&](double x, double y) { return shot.pixel(item->mapToScene(QPointF(x, y)).toPoint()); };
    EXPECT_EQ(qGreen(at(20, 90)), 0);     // a black column beside the 240 px wide picture
    EXPECT_GT(qGreen(at(160, 90)), 150);  // the picture
    EXPECT_EQ(qGreen(at(300, 90)), 0);    // and on the other side
    EXPECT_GT(qGreen(at(160, 1)), 150);   // full height: no bars above or below
    // The rounded corner lets the gallery's background through.
    EXPECT_EQ(at(0.5, 0.5), Theme().windowBackground().rgb());

    // Standing still: nothing to upload, however often the window renders.
    const quint64 uploads = item->uploadCount();
    for (int i = 0; i < 3; ++i) {
        view.grabWindow();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(item->uploadCount(), uploads);

    // A second item takes the renderer over; the first turns black.
    VideoItem other;
    other.setParentItem(root);
    other.setSize(QSizeF(64, 36));
    other.setFeed(&feed);
    renderer->enqueue(picture(640, 480, 180));
    QTRY_VERIFY_WITH_TIMEOUT(
        qGreen(view.grabWindow().pixel(item->mapToScene(QPointF(160, 90)).toPoint())) == 0, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(other.uploadCount() >= 1, 10000);

    // Hidden (the main window switched to its other view), it hands the pictures back to the item on screen,
    // and takes them again when it comes back; an item that goes leaves them to the one on screen.
    const auto showsPicture = [&] {
        return qGreen(view.grabWindow().pixel(item->mapToScene(QPointF(160, 90)).toPoint())) > 150;
    };
    other.setVisible(false);
    EXPECT_EQ(feed.attachedItem(), item);
    QTRY_VERIFY_WITH_TIMEOUT(showsPicture(), 10000);
    other.setVisible(true);
    EXPECT_EQ(feed.attachedItem(), &other);
    QTRY_VERIFY_WITH_TIMEOUT(!showsPicture(), 10000);
    other.setFeed(nullptr);
    EXPECT_EQ(feed.attachedItem(), item);
    QTRY_VERIFY_WITH_TIMEOUT(showsPicture(), 10000);
    item->setFeed(nullptr);
    EXPECT_EQ(feed.attachedItem(), nullptr);
}

TEST_F(UiScene, VideoItemConvertsNothingOffScreenAndTheNewestPictureWhenBack) {
    load(QUrl::fromLocalFile(KELVORA_UI_TEST_QML "/Gallery.qml"));
    auto* item = child<VideoItem>("video");
    ASSERT_NE(item, nullptr);
    auto renderer = std::make_shared<VideoRenderer>();
    VideoFeed feed(renderer);
    item->setFeed(&feed);
    const auto greenAtCentre = [&] {
        return qGreen(view.grabWindow().pixel(item->mapToScene(QPointF(160, 90)).toPoint()));
    };
    renderer->enqueue(picture(640, 480, 16));
    QTRY_VERIFY_WITH_TIMEOUT(item->uploadCount() >= 1 && greenAtCentre() < 10, 10000);

    // Hidden item, then hidden and minimised window: pictures keep coming, none is converted.
    const struct {
        bool itemVisible;
        bool windowVisible;
        Qt::WindowStates states;
    } offScreen[] = {{false, true, Qt::WindowNoState},
                     {true, false, Qt::WindowNoState},
                     {true, true, Qt::WindowMinimized}};
    for (const auto& c : offScreen) {
        item->setVisible(c.itemVisible);
        view.setVisible(c.windowVisible);
        view.setWindowStates(c.states);
        const quint64 conversions = item->conversionCount();
        for (uint8_t luma : {100, 235}) {
            std::thread([&] { renderer->enqueue(picture(640, 480, luma)); }).join();
        }
        EXPECT_EQ(item->conversionCount(), conversions) << c.itemVisible << c.windowVisible;
        item->setVisible(true);
        view.setWindowStates(Qt::WindowNoState);
        view.setVisible(true);
        // Back on screen it shows the newest picture, not the one from before it went.
        QTRY_VERIFY_WITH_TIMEOUT(greenAtCentre() > 200, 10000);
        EXPECT_GT(item->conversionCount(), conversions);
        renderer->enqueue(picture(640, 480, 16));
        QTRY_VERIFY_WITH_TIMEOUT(greenAtCentre() < 10, 10000);
    }
    item->setFeed(nullptr);
}

}  // namespace
}  // namespace kelvora
