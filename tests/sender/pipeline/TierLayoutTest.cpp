#include "sender/pipeline/TierLayout.h"
#include "sender/pipeline/TierRate.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

TierInputs inputs(VideoDimensions dimensions, int frameRate) {
    TierInputs in;
    in.dimensions = dimensions;
    in.frameRate = frameRate;
    return in;
}

TEST(TierLayout, ScaledSizesNeverGrowAndReducedRatesLandNearThirty) {
    EXPECT_EQ(TierLayout::scaledDimensions(1920, 1080, 640), (VideoDimensions{640, 360}));
    EXPECT_EQ(TierLayout::scaledDimensions(640, 360, 640), (VideoDimensions{640, 360}));
    EXPECT_EQ(TierLayout::scaledDimensions(320, 180, 640), (VideoDimensions{320, 180}));
    // A very wide picture keeps at least 180 rows.
    EXPECT_EQ(TierLayout::scaledDimensions(3840, 400, 640).height, 180);
    EXPECT_EQ(TierLayout::middleDimensions(1920, 1080), (VideoDimensions{1280, 720}));
    EXPECT_EQ(TierLayout::middleDimensions(3840, 2160), (VideoDimensions{1280, 720}));
    EXPECT_EQ(TierLayout::middleDimensions(1280, 720), std::nullopt);

    // A picture flatter than 180 rows keeps its own height rather than growing to the floor.
    struct Flat {
        VideoDimensions source;
        VideoDimensions proxy;
        std::optional<VideoDimensions> middle;
    };
    for (const Flat& c : {Flat{{3000, 100}, {3000, 100}, VideoDimensions{3000, 100}},
                          Flat{{1921, 179}, {1920, 178}, VideoDimensions{1920, 178}},
                          Flat{{2000, 200}, {1800, 180}, VideoDimensions{1800, 180}},
                          Flat{{700, 150}, {700, 150}, std::nullopt}}) {
        const VideoDimensions proxy = TierLayout::scaledDimensions(c.source.width, c.source.height, 640);
        EXPECT_EQ(proxy, c.proxy) << c.source.description();
        EXPECT_EQ(TierLayout::middleDimensions(c.source.width, c.source.height), c.middle)
            << c.source.description();
    }

    EXPECT_EQ(TierLayout::reducedFrameRate(30), std::nullopt);
    EXPECT_EQ(TierLayout::reducedFrameRate(50), 50.0);
    EXPECT_EQ(TierLayout::reducedFrameRate(60), 30.0);
    EXPECT_EQ(TierLayout::reducedFrameRate(120), 30.0);
}

TEST(TierLayout, MainBitrateFollowsThePictureNotTheSettingsResolution) {
    SenderSettings settings;
    settings.resolution = VideoDimensions::uhd2160();
    EXPECT_EQ(TierLayout::effectiveMainBitrateKbps(settings, VideoDimensions::hd1080(), 30), 14000);
    EXPECT_EQ(TierLayout::effectiveMainBitrateKbps(settings, VideoDimensions::hd720(), 60), 9000);
    settings.studioMode = true;
    EXPECT_EQ(TierLayout::effectiveMainBitrateKbps(settings, VideoDimensions::hd1080(), 60), 80000);
    EXPECT_EQ(TierLayout::normalMainBitrateKbps(settings, VideoDimensions::hd1080(), 60), 20000);

    settings.automaticBitrate = false;
    settings.bitrateKbps = 12000;
    settings.studioBitrateKbps = 40000;
    EXPECT_EQ(TierLayout::effectiveMainBitrateKbps(settings, VideoDimensions::hd1080(), 60), 40000);
    EXPECT_EQ(TierLayout::normalMainBitrateKbps(settings, VideoDimensions::hd1080(), 60), 12000);
}

TEST(TierLayout, ProxyRunsOnlyWithAdaptiveBitrateAndAtItsPlannedRate) {
    SenderSettings settings;
    TierInputs in = inputs(VideoDimensions::hd1080(), 60);

    auto proxy = TierLayout::proxyConfiguration(settings, in);
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->dimensions, (VideoDimensions{640, 360}));
    EXPECT_EQ(proxy->bitrateKbps, 500);  // no planner rate yet
    EXPECT_EQ(TierLayout::frameRateLimit(TierLayout::proxyTier, settings, 60), 30.0);
    // Studio mode keeps its middle tier at the full rate, not the proxy.
    settings.studioMode = true;
    EXPECT_EQ(TierLayout::frameRateLimit(TierLayout::proxyTier, settings, 60), 30.0);
    settings.studioMode = false;

    in.proxyClientKbps = 200;
    EXPECT_EQ(TierLayout::proxyConfiguration(settings, in)->bitrateKbps, 300);
    in.proxyClientKbps = 5000;
    EXPECT_EQ(TierLayout::proxyConfiguration(settings, in)->bitrateKbps, settings.proxyBitrateKbps);

    // A small source is sent at its own size.
    EXPECT_EQ(TierLayout::proxyConfiguration(settings, inputs({480, 270}, 30))->dimensions,
              (VideoDimensions{480, 270}));

    settings.adaptiveBitrate = false;
    EXPECT_FALSE(TierLayout::proxyConfiguration(settings, in));
    settings.adaptiveBitrate = true;
    settings.proxyStream = false;
    EXPECT_FALSE(TierLayout::proxyConfiguration(settings, in));
}

TEST(TierLayout, MiddleTierNeedsAWidePictureOutsideStudioMode) {
    SenderSettings settings;
    settings.middleTier = true;
    EXPECT_FALSE(TierLayout::middleConfiguration(settings, inputs(VideoDimensions::hd720(), 30)));
    auto middle = TierLayout::middleConfiguration(settings, inputs(VideoDimensions::hd1080(), 30));
    ASSERT_TRUE(middle);
    EXPECT_EQ(middle->dimensions, VideoDimensions::hd720());
    EXPECT_EQ(middle->bitrateKbps, 2500);

    TierInputs planned = inputs(VideoDimensions::hd1080(), 30);
    planned.middleKbps = 3100;
    EXPECT_EQ(TierLayout::middleConfiguration(settings, planned)->bitrateKbps, 3100);

    settings.middleTier = false;
    EXPECT_FALSE(TierLayout::middleConfiguration(settings, inputs(VideoDimensions::hd1080(), 30)));

    // Studio mode: full size at the normal main bitrate, whatever the middle switch says.
    settings.studioMode = true;
    auto studio = TierLayout::middleConfiguration(settings, inputs(VideoDimensions::hd720(), 60));
    ASSERT_TRUE(studio);
    EXPECT_EQ(studio->dimensions, VideoDimensions::hd720());
    EXPECT_EQ(studio->bitrateKbps, 9000);
    EXPECT_FALSE(studio->intraOnly);
    // At the source's rate in studio mode, near 30 otherwise.
    EXPECT_EQ(TierLayout::frameRateLimit(TierLayout::middleTier, settings, 60), std::nullopt);
    settings.studioMode = false;
    EXPECT_EQ(TierLayout::frameRateLimit(TierLayout::middleTier, settings, 60), 30.0);
}

TierRate::Request request(uint8_t tier, int requested, int cap, int frameRate) {
    TierRate::Request r;
    r.tier = tier;
    r.requestedKbps = requested;
    r.capKbps = cap;
    r.frameRate = frameRate;
    return r;
}

TEST(TierRate, BitrateStaysBetweenTheFloorAndTheCap) {
    SenderSettings settings;
    settings.adaptFrameRateFirst = false;
    settings.mainMinimumBitrateKbps = 1500;
    EXPECT_EQ(TierRate::decide(settings, request(0, 500, 20000, 30)).bitrateKbps, 1500);
    EXPECT_EQ(TierRate::decide(settings, request(0, 50000, 20000, 30)).bitrateKbps, 20000);
    EXPECT_EQ(TierRate::decide(settings, request(1, 500, 20000, 30)).bitrateKbps, 1000);
    // A floor above the cap gives way to the cap.
    EXPECT_EQ(TierRate::decide(settings, request(0, 500, 1200, 30)).bitrateKbps, 1200);
}

TEST(TierRate, FrameRateLimits) {
    SenderSettings settings;
    settings.adaptFrameRateFirst = false;
    settings.maximumFrameRate = 25;
    EXPECT_EQ(TierRate::decide(settings, request(0, 9000, 20000, 60)).targetFrameRate, 30.0);
    settings.maximumFrameRate = 24;
    EXPECT_EQ(TierRate::decide(settings, request(0, 9000, 20000, 60)).targetFrameRate, 30.0);
    settings.maximumFrameRate = 60;
    EXPECT_EQ(TierRate::decide(settings, request(0, 9000, 20000, 60)).targetFrameRate, std::nullopt);
    settings.maximumFrameRate = 30;
    EXPECT_EQ(TierRate::decide(settings, request(0, 9000, 20000, 50)).targetFrameRate, std::nullopt);

    // The middle tier runs near 30 outside studio mode; the proxy keeps the full rate here.
    EXPECT_EQ(TierRate::decide(settings, request(1, 2500, 20000, 60)).targetFrameRate, 30.0);
    settings.studioMode = true;
    EXPECT_EQ(TierRate::decide(settings, request(1, 2500, 20000, 60)).targetFrameRate, std::nullopt);
    EXPECT_EQ(TierRate::decide(settings, request(2, 500, 20000, 60)).targetFrameRate, std::nullopt);
}

TEST(TierRate, FrameRateFirstDropsFramesInsteadOfSharpness) {
    SenderSettings settings;
    settings.minimumFrameRate = 5;
    // The tier put out 10000 kbit/s at the full 30 fps and needs 12000 with headroom; 4800 is 40 % of that.
    TierRate::Request r = request(0, 4800, 20000, 30);
    r.measuredKbps = 10000;
    TierRate decided = TierRate::decide(settings, r);
    EXPECT_EQ(decided.targetFrameRate, 10.0);
    EXPECT_EQ(decided.bitrateKbps, 4800);

    // When the need is covered the tier runs at the full rate.
    r.requestedKbps = 11000;
    decided = TierRate::decide(settings, r);
    EXPECT_EQ(decided.targetFrameRate, std::nullopt);
    EXPECT_EQ(decided.bitrateKbps, 11000);

    // A minimum frame rate of 15 forbids a third: the rate goes to the lowest step it allows, and the
    // bitrate is not cut.
    settings.minimumFrameRate = 15;
    r.requestedKbps = 4800;
    decided = TierRate::decide(settings, r);
    EXPECT_EQ(decided.targetFrameRate, 15.0);
    EXPECT_EQ(decided.bitrateKbps, 4800);

    // The bitrate of a reduced tier is capped at its share of the cap.
    settings.minimumFrameRate = 5;
    r = request(0, 5000, 9000, 30);
    r.measuredKbps = 30000;  // the need is clamped to the cap: 5000 / 9000 = 0.56 -> a half
    decided = TierRate::decide(settings, r);
    EXPECT_EQ(decided.targetFrameRate, 15.0);
    EXPECT_EQ(decided.bitrateKbps, 4500);
}

TEST(TierRate, ATierBeingBuiltKeepsTheHigherOfTheMinimumAndTheWarmUpRate) {
    // A 60 fps tier given a tenth of its need would drop to a sixth; the floors keep it higher.
    struct Case {
        int minimumFrameRate;
        bool upgradeBuilding;
        double targetFrameRate;
    };
    const Case cases[] = {
        {5, false, 10.0},   // no floor reached: a sixth
        {15, false, 15.0},  // the minimum alone
        {15, true, 30.0},   // the warm-up's 24 wins over a lower minimum (evenly: 30)
        {40, false, 60.0},  // a minimum above 24 ...
        {40, true, 60.0},   // ... still wins while the tier is built
    };
    for (const Case& c : cases) {
        SenderSettings settings;
        settings.maximumFrameRate = 60;
        settings.minimumFrameRate = c.minimumFrameRate;
        TierRate::Request r = request(0, 2000, 20000, 60);
        r.measuredKbps = 20000;
        r.upgradeBuilding = c.upgradeBuilding;
        EXPECT_EQ(TierRate::decide(settings, r).targetFrameRate, c.targetFrameRate)
            << "minimum " << c.minimumFrameRate << ", building " << c.upgradeBuilding;
    }
}

TEST(TierRate, DamagedFrameRatesDoNotDivideByZero) {
    SenderSettings settings;
    settings.minimumFrameRate = 0;
    settings.maximumFrameRate = 0;
    TierRate::Request r = request(0, 4000, 9000, 0);
    r.measuredKbps = 50000;
    r.currentTargetFrameRate = 0;
    TierRate decided = TierRate::decide(settings, r);
    EXPECT_GE(decided.bitrateKbps, 1000);
    if (decided.targetFrameRate) {
        EXPECT_TRUE(std::isfinite(*decided.targetFrameRate));
        EXPECT_GT(*decided.targetFrameRate, 0);
    }
}

}  // namespace
}  // namespace kelvora
