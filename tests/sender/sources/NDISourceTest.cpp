#include "sender/sources/NDIFrameConverter.h"
#include "sender/sources/NDIRuntime.h"
#include "sender/sources/NDISourceBrowser.h"
#include "sender/sources/NDIVideoSource.h"

#include "sender/sources/fake/FakeNdiControl.h"
#include "support/Eventually.h"

#include <gtest/gtest.h>
#include <pthread.h>

namespace kelvora {
namespace {

constexpr int kLimitMs = 10000;

std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
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

TEST(NDISourceInfo, NamesSplitIntoMachineAndSource) {
    struct Case {
        const char* name;
        const char* machine;
        const char* source;
    };
    const Case cases[] = {
        {"Studio-PC (Kamera 1)", "Studio-PC", "Kamera 1"},
        {"A(B)", "A(B)", "B"},
        {"A (B", "A", "A (B"},
        {"A (B) (C)", "A", "B) (C"},
        {"Plain", "Plain", "Plain"},
    };
    for (const Case& c : cases) {
        const NDISourceInfo info{c.name};
        EXPECT_EQ(info.machineName(), c.machine) << c.name;
        EXPECT_EQ(info.sourceName(), c.source) << c.name;
        EXPECT_EQ(info.id(), std::string("ndi:") + c.name);
    }
}

TEST(NDIVideoSourceNames, IdentifierAndNameCarryTheNDIName) {
    EXPECT_EQ(NDIVideoSource::ndiName("ndi:Studio-PC (Kamera 1)"), "Studio-PC (Kamera 1)");
    EXPECT_EQ(NDIVideoSource::ndiName("ndi:"), "");
    EXPECT_FALSE(NDIVideoSource::ndiName("testpattern"));
    const auto source = NDIVideoSource::create("Studio-PC (Kamera 1)");
    EXPECT_EQ(source->name(), "NDI: Studio-PC (Kamera 1)");
    EXPECT_EQ(source->identifier(), "ndi:Studio-PC (Kamera 1)");
}

TEST(NDISourceErrorText, NamesAreQuotedTheGermanWay) {
    EXPECT_STREQ(NDISourceError::connectionLost("Studio-PC (Kamera 1)").what(),
                 "NDI-Quelle \u201EStudio-PC (Kamera 1)\u201C getrennt");
    EXPECT_STREQ(NDISourceError::cannotConnect("X").what(), "Keine Verbindung zur NDI-Quelle \u201EX\u201C");
}

TEST_F(NDITest, TheFirstCandidateThatYieldsATableIsLoaded) {
    const auto runtime =
        NDIRuntime::load({"/nonexistent/libndi.so", KELVORA_NOT_NDI_PATH, KELVORA_FAKE_NDI_PATH});
    ASSERT_TRUE(runtime->available());
    EXPECT_EQ(runtime->path(), KELVORA_FAKE_NDI_PATH);
    EXPECT_EQ(runtime->version(), "6.0.0-fake");
    const LicenseEntry entry = runtime->licenseEntry();
    EXPECT_EQ(entry.name, "NDI® SDK (nur Empfang)");
    EXPECT_EQ(entry.version, "6.0.0-fake");
    EXPECT_EQ(entry.license, "NDI SDK License Agreement");
    EXPECT_TRUE(
        entry.notice.starts_with("NDI®-Quellen werden mit der NDI-Laufzeitbibliothek (libndi) von Vizrt "
                                 "NDI AB empfangen. "));
    EXPECT_NE(entry.notice.find(NDIRuntime::kTrademarkNotice), std::string::npos);
}

TEST_F(NDITest, ARuntimeThatRefusesToInitialiseOrIsMissingIsUnavailable) {
    fakeNdiSetInitializeResult(false);
    EXPECT_FALSE(NDIRuntime::load({KELVORA_FAKE_NDI_PATH, KELVORA_FAKE_NDI_PATH})->available());
    EXPECT_FALSE(NDIRuntime::load({KELVORA_NOT_NDI_PATH})->available());
    EXPECT_FALSE(noRuntime()->available());
    EXPECT_EQ(noRuntime()->licenseEntry().version, "6");

    fakeNdiSetInitializeResult(true);
    fakeNdiSetVersion(nullptr);
    EXPECT_EQ(fakeRuntime()->licenseEntry().version, "6");
}

TEST_F(NDITest, WithoutARuntimeNothingStartsAndTheSourceSaysSoAtOnce) {
    auto browser = NDISourceBrowser::create(noRuntime());
    browser->start();
    EXPECT_FALSE(browser->isRunning());

    auto source = NDIVideoSource::create("Studio-PC (Kamera 1)", noRuntime());
    std::optional<std::string> failure;
    std::string thread;
    source->start([](SourceFrame) {},
                  [&](const SourceError& error) {
                      failure = error.what();
                      thread = threadName();
                  });
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, "NDI ist auf diesem Computer nicht verfügbar");
    EXPECT_EQ(thread, threadName());
    EXPECT_EQ(fakeNdiReceiversCreated(), 0);
}

struct Reports {
    testing::Eventually<std::vector<std::string>> lists;
    testing::Eventually<std::string> threads;

    NDISourceBrowser::ChangeHandler handler() {
        return [this](const std::vector<NDISourceInfo>& list) {
            std::vector<std::string> names;
            for (const auto& info : list) {
                names.push_back(info.name);
            }
            lists.push(names);
            threads.push(threadName());
        };
    }
};

void setSources(std::initializer_list<const char*> names) {
    std::vector<const char*> list(names);
    fakeNdiSetSources(list.data(), static_cast<int>(list.size()));
}

TEST_F(NDITest, SourcesAreReportedSortedAndOnlyWhenTheSetChanges) {
    setSources({"Cam 10", nullptr, "Cam 9"});
    Reports reports;
    auto browser = NDISourceBrowser::create(fakeRuntime());
    browser->setOnChange(reports.handler());
    browser->start();
    const auto first = reports.lists.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, (std::vector<std::string>{"Cam 9", "Cam 10"}));
    EXPECT_EQ(reports.threads.values().front(), "NDI-Suche");

    // The same sources in another order, then no listing at all: nothing to report.
    setSources({"Cam 9", "Cam 10"});
    ASSERT_TRUE(fakeNdiWaitSourcesServed(fakeNdiSourcesGeneration(), kLimitMs));
    fakeNdiSetNoSourceArray();
    ASSERT_TRUE(fakeNdiWaitSourcesServed(fakeNdiSourcesGeneration(), kLimitMs));
    EXPECT_EQ(reports.lists.values().size(), 1u);

    // Everything gone: one empty list, once.
    setSources({});
    ASSERT_TRUE(reports.lists.waitFor([](const auto& list) { return list.empty(); }));
    setSources({});
    ASSERT_TRUE(fakeNdiWaitSourcesServed(fakeNdiSourcesGeneration(), kLimitMs));
    EXPECT_EQ(reports.lists.values().size(), 2u);

    setSources({"Studio-PC (Kamera 1)"});
    ASSERT_TRUE(reports.lists.waitFor(
        [](const auto& list) { return list == std::vector<std::string>{"Studio-PC (Kamera 1)"}; }));

    browser->stop();
    EXPECT_TRUE(fakeNdiWaitFindersAlive(0, kLimitMs));
}

TEST_F(NDITest, AFinderThatCannotBeCreatedIsTriedAgain) {
    fakeNdiFailFinderCreations(3);
    setSources({"Studio-PC (Kamera 1)"});
    Reports reports;
    auto browser = NDISourceBrowser::create(fakeRuntime(), std::chrono::milliseconds(1));
    browser->setOnChange(reports.handler());
    browser->start();
    ASSERT_TRUE(reports.lists.waitFor([](const auto& list) { return list.size() == 1; }));
    EXPECT_EQ(fakeNdiFinderCreateAttempts(), 4);
    EXPECT_TRUE(browser->isRunning());
    browser->stop();
    EXPECT_TRUE(fakeNdiWaitFindersAlive(0, kLimitMs));
}

TEST_F(NDITest, AStoppedBrowserStartsOverAndReportsItsFirstListAgain) {
    setSources({"A (1)"});
    Reports reports;
    auto browser = NDISourceBrowser::create(fakeRuntime());
    browser->setOnChange(reports.handler());
    browser->start();
    ASSERT_TRUE(reports.lists.waitFor([](const auto&) { return true; }));
    browser->stop();
    browser->start();
    ASSERT_TRUE(reports.threads.waitFor([&](const auto&) { return reports.lists.values().size() == 2; }));
    browser.reset();
    // Releasing the browser ends discovery as stopping it does.
    EXPECT_TRUE(fakeNdiWaitFindersAlive(0, kLimitMs));
}

// Pictures and failures of one NDI source, as the pipeline would see them.
struct Receiving {
    testing::Eventually<SourceFrame> frames;
    testing::Eventually<std::string> failures;
    testing::Eventually<std::string> frameThreads;

    void start(NDIVideoSource& source) {
        source.start(
            [this](SourceFrame frame) {
                frameThreads.push(threadName());
                frames.push(std::move(frame));
            },
            [this](const SourceError& error) { failures.push(error.what()); });
    }
};

std::vector<uint8_t> uyvy(int width, int height, int stride) {
    // Luma rises along each row; the padding after a row is white, which must never show.
    std::vector<uint8_t> bytes(static_cast<size_t>(stride) * height, 255);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pair = &bytes[static_cast<size_t>(y) * stride + (x / 2) * 4];
            pair[0] = 128;
            pair[2] = 128;
            pair[x % 2 == 0 ? 1 : 3] = static_cast<uint8_t>(40 + x);
        }
    }
    return bytes;
}

std::vector<uint8_t> bgra(int width, int height, uint8_t gray) {
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 4, gray);
    for (size_t index = 3; index < bytes.size(); index += 4) {
        bytes[index] = 255;
    }
    return bytes;
}

uint8_t lumaAt(const PixelBuffer& buffer, int x, int y) {
    return buffer.data(0)[static_cast<size_t>(y) * buffer.stride(0) + x];
}

TEST_F(NDITest, ReceivedPicturesArriveAsNv12OfTheirOwnSize) {
    auto source = NDIVideoSource::create("Studio-PC (Kamera 1)", fakeRuntime());
    Receiving receiving;
    receiving.start(*source);

    const auto padded = uyvy(96, 54, 96 * 2 + 64);
    fakeNdiQueueVideoFrame(ndi::fourCC("UYVY"), 96, 54, 96 * 2 + 64, padded.data(), padded.size());
    fakeNdiQueueOther(ndi::kFrameTypeStatusChange);
    const auto gray = bgra(64, 36, 128);
    fakeNdiQueueVideoFrame(ndi::fourCC("BGRA"), 64, 36, 64 * 4, gray.data(), gray.size());

    ASSERT_TRUE(receiving.frames.waitFor([](const SourceFrame&) { return true; }));
    const auto second =
        receiving.frames.waitFor([](const SourceFrame& frame) { return frame.dimensions().width == 64; });
    ASSERT_TRUE(second);
    const auto frames = receiving.frames.values();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].dimensions(), (VideoDimensions{96, 54}));
    EXPECT_EQ(frames[0].pixelBuffer.format(), PixelFormat::nv12);
    EXPECT_FALSE(frames[0].isTestPattern);
    for (int y : {0, 27, 53}) {
        for (int x : {0, 1, 50, 95}) {
            EXPECT_NEAR(lumaAt(frames[0].pixelBuffer, x, y), 40 + x, 2) << x << "," << y;
        }
    }
    EXPECT_EQ(frames[1].dimensions(), (VideoDimensions{64, 36}));
    // Full-range gray 128 in video range.
    EXPECT_NEAR(lumaAt(frames[1].pixelBuffer, 32, 18), 126, 2);
    EXPECT_EQ(receiving.frameThreads.values().front(), "NDI-Empfang");

    EXPECT_STREQ(fakeNdiLastSourceName(), "Studio-PC (Kamera 1)");
    EXPECT_STREQ(fakeNdiLastReceiverName(), "Kelvora");
    EXPECT_EQ(fakeNdiLastColorFormat(), ndi::kColorFormatUYVYOrBGRA);
    EXPECT_EQ(fakeNdiLastBandwidth(), ndi::kBandwidthHighest);
    EXPECT_FALSE(fakeNdiLastAllowVideoFields());

    source->stop();
    EXPECT_TRUE(fakeNdiWaitReceiversAlive(0, kLimitMs));
    EXPECT_EQ(fakeNdiFramesFreed(), fakeNdiFramesHandedOut());
}

TEST_F(NDITest, PicturesThatCannotBeReadAreFreedAndSkipped) {
    auto source = NDIVideoSource::create("Cam", fakeRuntime());
    Receiving receiving;
    receiving.start(*source);

    const auto good = bgra(32, 16, 200);
    // A planar layout outside the table, a stride shorter than a row, a negative stride, no pixels.
    fakeNdiQueueVideoFrame(ndi::fourCC("I420"), 32, 16, 32, good.data(), good.size());
    fakeNdiQueueVideoFrame(ndi::fourCC("BGRA"), 32, 16, 32 * 4 - 4, good.data(), good.size());
    fakeNdiQueueVideoFrame(ndi::fourCC("BGRA"), 32, 16, -32 * 4, good.data(), good.size());
    fakeNdiQueueVideoFrame(ndi::fourCC("UYVA"), 32, 16, 32 * 2, good.data(), good.size());
    fakeNdiQueueVideoFrame(ndi::fourCC("BGRX"), 32, 16, 32 * 4, good.data(), good.size());

    const auto frame = receiving.frames.waitFor([](const SourceFrame&) { return true; });
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->dimensions(), (VideoDimensions{32, 16}));
    EXPECT_EQ(receiving.frames.values().size(), 1u);
    source->stop();
    EXPECT_TRUE(fakeNdiWaitReceiversAlive(0, kLimitMs));
    EXPECT_EQ(fakeNdiFramesHandedOut(), 5);
    EXPECT_EQ(fakeNdiFramesFreed(), 5);
    EXPECT_TRUE(receiving.failures.values().empty());
}

TEST_F(NDITest, ALostConnectionEndsTheReceiverWithAFailure) {
    auto source = NDIVideoSource::create("Studio-PC (Kamera 1)", fakeRuntime());
    Receiving receiving;
    receiving.start(*source);
    fakeNdiQueueError();
    const auto failure = receiving.failures.waitFor([](const std::string&) { return true; });
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, "NDI-Quelle \u201EStudio-PC (Kamera 1)\u201C getrennt");
    EXPECT_TRUE(fakeNdiWaitReceiversAlive(0, kLimitMs));
}

TEST_F(NDITest, ARefusedConnectionIsReportedAndReleasingTheSourceEndsItsThread) {
    fakeNdiRefuseReceivers(true);
    auto refused = NDIVideoSource::create("Gone (1)", fakeRuntime());
    Receiving receiving;
    receiving.start(*refused);
    const auto failure = receiving.failures.waitFor([](const std::string&) { return true; });
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, "Keine Verbindung zur NDI-Quelle \u201EGone (1)\u201C");

    fakeNdiRefuseReceivers(false);
    auto source = NDIVideoSource::create("Cam", fakeRuntime());
    Receiving running;
    running.start(*source);
    ASSERT_TRUE(fakeNdiWaitReceiversAlive(1, kLimitMs));
    source.reset();
    EXPECT_TRUE(fakeNdiWaitReceiversAlive(0, kLimitMs));
}

TEST(NDIFrameConverter, ANewSizeMakesANewPoolAndEveryBufferHasItsFramesSize) {
    NDIFrameConverter converter;
    auto large = bgra(192, 108, 50);
    auto small = bgra(128, 72, 50);
    NDIVideoFrame frame{};
    frame.fourCC = ndi::fourCC("BGRA");
    for (int round = 0; round < 2; ++round) {
        frame.xres = 192;
        frame.yres = 108;
        frame.lineStrideInBytes = 192 * 4;
        frame.data = large.data();
        const PixelBuffer first = converter.convert(frame);
        ASSERT_TRUE(first);
        EXPECT_EQ(first.width(), 192);
        EXPECT_EQ(first.height(), 108);
        frame.data = large.data();
        ASSERT_TRUE(converter.convert(frame));
    }
    EXPECT_EQ(converter.poolsMade(), 1);
    frame.xres = 128;
    frame.yres = 72;
    frame.lineStrideInBytes = 128 * 4;
    frame.data = small.data();
    const PixelBuffer smaller = converter.convert(frame);
    ASSERT_TRUE(smaller);
    EXPECT_EQ(smaller.width(), 128);
    EXPECT_EQ(smaller.format(), PixelFormat::nv12);
    EXPECT_EQ(converter.poolsMade(), 2);
    // A UYVY row of an odd width still needs whole pixel pairs.
    EXPECT_EQ(NDIFrameConverter::rowBytes(ndi::fourCC("UYVY"), 5), 12);
}

}  // namespace
}  // namespace kelvora
