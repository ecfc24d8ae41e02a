#include "sender/sources/NDIFrameConverter.h"
#include "sender/sources/NDISourceBrowser.h"
#include "sender/sources/NDIVideoSource.h"

#include "sender/sources/fake/FakeNdiControl.h"
#include "support/Eventually.h"

#include <gtest/gtest.h>
#include <pthread.h>

namespace kelvora {
namespace {

std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Waits, with a generous limit, until the stand-in runtime's counters satisfy `condition`.
bool eventually(const std::function<bool(const FakeNdiStats&)>& condition) {
    for (int round = 0; round < 1000; ++round) {
        const FakeNdiStats stats = fakeNdiStats();
        if (condition(stats)) {
            return true;
        }
        if (!fakeNdiWaitForChange(stats.version, 10000)) {
            return condition(fakeNdiStats());
        }
    }
    return false;
}

// Waits until the browser has seen the source list set last.
bool listingServed() {
    return eventually([](const FakeNdiStats& s) { return s.servedGeneration == s.sourcesGeneration; });
}

void setSources(std::vector<const char*> names) {
    fakeNdiSetSources(names.data(), static_cast<int>(names.size()));
}

void queuePicture(const char (&fourCC)[5], int width, int height, int stride,
                  const std::vector<uint8_t>& bytes) {
    fakeNdiQueue(ndi::kFrameTypeVideo, ndi::fourCC(fourCC), width, height, stride, bytes.data(),
                 bytes.size());
}

class NDITest : public ::testing::Test {
  protected:
    void SetUp() override { fakeNdiReset(); }

    static std::shared_ptr<const NDIRuntime> fakeRuntime() {
        return NDIRuntime::load({KELVORA_FAKE_NDI_PATH});
    }
    static std::shared_ptr<const NDIRuntime> noRuntime() {
        return NDIRuntime::load({"/nonexistent/libndi.so"});
    }
};

TEST(NDINames, SourceNamesSplitAndSourceIDsCarryThem) {
    const std::vector<std::array<const char*, 3>> cases = {
        {"Studio-PC (Kamera 1)", "Studio-PC", "Kamera 1"},
        {"A(B)", "A(B)", "B"},
        {"A (B", "A", "A (B"},
        {"A (B) (C)", "A", "B) (C"},
    };
    for (const auto& [name, machine, source] : cases) {
        const NDISourceInfo info{name};
        EXPECT_EQ(info.machineName(), machine) << name;
        EXPECT_EQ(info.sourceName(), source) << name;
        EXPECT_EQ(info.id(), std::string("ndi:") + name);
    }
    EXPECT_EQ(NDIVideoSource::ndiName("ndi:Studio-PC (Kamera 1)"), "Studio-PC (Kamera 1)");
    EXPECT_EQ(NDIVideoSource::ndiName("ndi:"), "");
    EXPECT_FALSE(NDIVideoSource::ndiName("testpattern"));
    const auto source = NDIVideoSource::create("Studio-PC (Kamera 1)");
    EXPECT_EQ(source->name(), "NDI: Studio-PC (Kamera 1)");
    EXPECT_EQ(source->identifier(), "ndi:Studio-PC (Kamera 1)");
    EXPECT_STREQ(NDISourceError::connectionLost("X").what(), "NDI-Quelle \u201EX\u201C getrennt");
}

TEST(NDINames, NamesFromTheNetworkAreListedAsValidUtf8) {
    const NDISourceRecord records[] = {{"PC (Kamera \xC3)", nullptr},
                                       {"PC (\xFF"
                                        "ber)",
                                        nullptr}};
    const auto list = NDISourceBrowser::listFrom(records, 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id(), "ndi:PC (Kamera \uFFFD)");
    EXPECT_EQ(list[1].sourceName(), "\uFFFDber");
}

TEST_F(NDITest, TheFirstCandidateThatYieldsAnInitialisedTableIsUsed) {
    const auto runtime =
        NDIRuntime::load({"/nonexistent/libndi.so", KELVORA_NOT_NDI_PATH, KELVORA_FAKE_NDI_PATH});
    ASSERT_TRUE(runtime->available());
    EXPECT_EQ(runtime->path(), KELVORA_FAKE_NDI_PATH);
    const LicenseEntry entry = runtime->licenseEntry();
    EXPECT_EQ(entry.name, "NDI® SDK (nur Empfang)");
    EXPECT_EQ(entry.version, "6.0.0-fake");
    EXPECT_NE(entry.notice.find(NDIRuntime::kTrademarkNotice), std::string::npos);

    EXPECT_FALSE(NDIRuntime::load({KELVORA_NOT_NDI_PATH})->available());
    EXPECT_EQ(noRuntime()->licenseEntry().version, "6");
    fakeNdiSetVersion(nullptr);
    EXPECT_EQ(fakeRuntime()->licenseEntry().version, "6");
    // A runtime that refuses to initialise makes NDI unavailable; later candidates are not tried.
    fakeNdiSetInitializeResult(false);
    EXPECT_FALSE(NDIRuntime::load({KELVORA_FAKE_NDI_PATH, KELVORA_FAKE_NDI_PATH})->available());
}

TEST_F(NDITest, WithoutARuntimeNothingStartsAndTheSourceSaysSoAtOnce) {
    auto browser = NDISourceBrowser::create(noRuntime());
    browser->start();
    EXPECT_FALSE(browser->isRunning());

    std::optional<std::string> failure;
    std::string thread;
    NDIVideoSource::create("Cam", noRuntime())
        ->start([](SourceFrame) {},
                [&](const SourceError& error) {
                    failure = error.what();
                    thread = threadName();
                });
    EXPECT_EQ(failure, "NDI ist auf diesem Computer nicht verfügbar");
    EXPECT_EQ(thread, threadName());
    EXPECT_EQ(fakeNdiStats().receiversCreated, 0);
}

struct Reports {
    testing::Eventually<std::vector<std::string>> lists;
    testing::Eventually<size_t> counts;
    std::string thread;

    NDISourceBrowser::ChangeHandler handler() {
        return [this](const std::vector<NDISourceInfo>& list) {
            std::vector<std::string> names;
            for (const auto& info : list) {
                names.push_back(info.name);
            }
            thread = threadName();
            lists.push(names);
            counts.push(lists.values().size());
        };
    }
    bool reported(const std::vector<std::string>& expected) {
        return lists.waitFor([&](const auto& list) { return list == expected; }).has_value();
    }
};

TEST_F(NDITest, SourcesAreReportedSortedAndOnlyWhenTheSetChanges) {
    setSources({"Cam 10", nullptr, "Cam 9"});
    Reports reports;
    auto browser = NDISourceBrowser::create(fakeRuntime());
    browser->setOnChange(reports.handler());
    browser->start();
    ASSERT_TRUE(reports.reported({"Cam 9", "Cam 10"}));
    EXPECT_EQ(reports.thread, "NDI-Suche");

    // The same sources in another order, then no listing at all: nothing to report.
    setSources({"Cam 9", "Cam 10"});
    ASSERT_TRUE(listingServed());
    fakeNdiSetSources(nullptr, -1);
    ASSERT_TRUE(listingServed());
    // Everything gone: one empty list, once.
    setSources({});
    ASSERT_TRUE(reports.reported({}));
    setSources({});
    ASSERT_TRUE(listingServed());
    EXPECT_EQ(reports.lists.values().size(), 2u);

    // A new run reports its first list even when nothing changed; releasing the browser ends discovery.
    browser->stop();
    browser->start();
    ASSERT_TRUE(reports.counts.waitFor([](size_t count) { return count == 3; }));
    browser.reset();
    EXPECT_TRUE(eventually([](const FakeNdiStats& s) { return s.findersAlive == 0; }));
}

TEST_F(NDITest, AFinderThatCannotBeCreatedIsTriedAgainUntilItWorks) {
    fakeNdiFailFinderCreations(3);
    setSources({"Studio-PC (Kamera 1)"});
    Reports reports;
    auto browser = NDISourceBrowser::create(fakeRuntime(), std::chrono::milliseconds(1));
    browser->setOnChange(reports.handler());
    browser->start();
    ASSERT_TRUE(reports.reported({"Studio-PC (Kamera 1)"}));
    EXPECT_EQ(fakeNdiStats().finderAttempts, 4);
    browser->stop();
    EXPECT_TRUE(eventually([](const FakeNdiStats& s) { return s.findersAlive == 0; }));
}

// Pictures and failures of one NDI source, as the pipeline sees them.
struct Receiving {
    testing::Eventually<SourceFrame> frames;
    testing::Eventually<std::string> failures;
    std::string thread;

    void start(NDIVideoSource& source) {
        source.start(
            [this](SourceFrame frame) {
                thread = threadName();
                frames.push(std::move(frame));
            },
            [this](const SourceError& error) { failures.push(error.what()); });
    }
    std::optional<std::string> failure() {
        return failures.waitFor([](const auto&) { return true; });
    }
};

std::vector<uint8_t> uyvyRamp(int width, int height, int stride) {
    // Luma rises along each row; the padding after a row is white, which must never show.
    std::vector<uint8_t> bytes(static_cast<size_t>(stride) * height, 255);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pair = &bytes[static_cast<size_t>(y) * stride + (x / 2) * 4];
            pair[0] = pair[2] = 128;
            pair[x % 2 == 0 ? 1 : 3] = static_cast<uint8_t>(40 + x);
        }
    }
    return bytes;
}

std::vector<uint8_t> gray(int width, int height, uint8_t level) {
    return std::vector<uint8_t>(static_cast<size_t>(width) * height * 4, level);
}

uint8_t lumaAt(const PixelBuffer& buffer, int x, int y) {
    return buffer.data(0)[static_cast<size_t>(y) * buffer.stride(0) + x];
}

TEST_F(NDITest, PicturesArriveAsNv12OfTheirOwnSizeAndUnreadableOnesAreFreedAndSkipped) {
    auto source = NDIVideoSource::create("Studio-PC (Kamera 1)", fakeRuntime());
    Receiving receiving;
    receiving.start(*source);

    const auto bgra = gray(32, 16, 128);
    queuePicture("UYVY", 96, 54, 96 * 2 + 64, uyvyRamp(96, 54, 96 * 2 + 64));
    fakeNdiQueue(ndi::kFrameTypeStatusChange, 0, 0, 0, 0, nullptr, 0);
    // A planar layout outside the table, a row stride too short, a negative one, no pixels at all.
    queuePicture("I420", 32, 16, 32, bgra);
    queuePicture("BGRA", 32, 16, 32 * 4 - 4, bgra);
    queuePicture("BGRA", 32, 16, -32 * 4, bgra);
    queuePicture("BGRA", 32, 16, 32 * 4, {});
    queuePicture("BGRX", 32, 16, 32 * 4, bgra);

    ASSERT_TRUE(
        receiving.frames.waitFor([](const SourceFrame& frame) { return frame.dimensions().width == 32; }));
    const auto frames = receiving.frames.values();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].dimensions(), (VideoDimensions{96, 54}));
    EXPECT_EQ(frames[0].pixelBuffer.format(), PixelFormat::nv12);
    EXPECT_FALSE(frames[0].isTestPattern);
    for (int y : {0, 53}) {
        for (int x : {0, 1, 95}) {
            EXPECT_NEAR(lumaAt(frames[0].pixelBuffer, x, y), 40 + x, 2) << x << "," << y;
        }
    }
    // Full-range gray 128 in video range.
    EXPECT_NEAR(lumaAt(frames[1].pixelBuffer, 16, 8), 126, 2);
    EXPECT_EQ(receiving.thread, "NDI-Empfang");

    const FakeNdiStats asked = fakeNdiStats();
    EXPECT_STREQ(asked.lastSourceName, "Studio-PC (Kamera 1)");
    EXPECT_STREQ(asked.lastReceiverName, "Kelvora");
    EXPECT_EQ(asked.lastColorFormat, ndi::kColorFormatUYVYOrBGRA);
    EXPECT_EQ(asked.lastBandwidth, ndi::kBandwidthHighest);
    EXPECT_FALSE(asked.lastAllowVideoFields);

    source->stop();
    EXPECT_TRUE(eventually([](const FakeNdiStats& s) { return s.receiversAlive == 0; }));
    EXPECT_EQ(fakeNdiStats().framesHandedOut, 6);
    EXPECT_EQ(fakeNdiStats().framesFreed, 6);
    EXPECT_TRUE(receiving.failures.values().empty());
}

TEST_F(NDITest, ConnectionsThatFailOrBreakAreReportedAndEveryReceiverEnds) {
    auto source = NDIVideoSource::create("Studio-PC (Kamera 1)", fakeRuntime());
    Receiving receiving;
    receiving.start(*source);
    fakeNdiQueue(ndi::kFrameTypeError, 0, 0, 0, 0, nullptr, 0);
    EXPECT_EQ(receiving.failure(), "NDI-Quelle \u201EStudio-PC (Kamera 1)\u201C getrennt");
    EXPECT_TRUE(eventually([](const FakeNdiStats& s) { return s.receiversAlive == 0; }));

    fakeNdiRefuseReceivers(true);
    Receiving refused;
    auto unreachable = NDIVideoSource::create("Gone (1)", fakeRuntime());
    refused.start(*unreachable);
    EXPECT_EQ(refused.failure(), "Keine Verbindung zur NDI-Quelle \u201EGone (1)\u201C");

    // Releasing a source without stopping it ends its receiver too.
    fakeNdiRefuseReceivers(false);
    auto released = NDIVideoSource::create("Cam", fakeRuntime());
    Receiving running;
    running.start(*released);
    ASSERT_TRUE(eventually([](const FakeNdiStats& s) { return s.receiversAlive == 1; }));
    released.reset();
    EXPECT_TRUE(eventually([](const FakeNdiStats& s) { return s.receiversAlive == 0; }));
}

TEST(NDIFrameConverter, ANewSizeMakesANewPool) {
    NDIFrameConverter converter;
    auto pixels = gray(192, 108, 50);
    NDIVideoFrame frame{};
    frame.fourCC = ndi::fourCC("BGRA");
    frame.data = pixels.data();
    for (const auto& [width, height] : {std::pair{192, 108}, {192, 108}, {128, 72}}) {
        frame.xres = width;
        frame.yres = height;
        frame.lineStrideInBytes = width * 4;
        const PixelBuffer buffer = converter.convert(frame);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer.width(), width);
        EXPECT_EQ(buffer.height(), height);
    }
    EXPECT_EQ(converter.poolsMade(), 2);
    // A UYVY row of an odd width still takes whole pixel pairs.
    EXPECT_EQ(NDIFrameConverter::rowBytes(ndi::fourCC("UYVY"), 5), 12);
}

}  // namespace
}  // namespace kelvora
