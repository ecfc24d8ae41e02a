#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "WireTesting.h"
#include "core/ControlRecords.h"
#include "core/ReceiverReportMessage.h"
#include "core/StreamInfoMessage.h"
#include "core/StreamTuning.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

StreamInfoMessage liveStream() {
    return {StreamInfoMessage::State::live, "Kamera 1", VideoCodec::hevc, {1920, 1080}, 50, false};
}

}  // namespace

TEST(ControlRecords, HelloEncodesFieldsInOrderWithCodecNumbers) {
    HelloMessage hello{"ID-1",     "iPad", 4, EngineKind::quic(), {VideoCodec::h264, VideoCodec::hevc},
                       "iPad13,4", true};
    EXPECT_EQ(encodeJson(hello),
              R"({"clientID":"ID-1","clientName":"iPad","protocolVersion":4,"engine":"quic",)"
              R"("supportedCodecs":[1,2],"deviceModel":"iPad13,4","supportsTuning":true})");
    EXPECT_EQ(decodeJson<HelloMessage>(encodeJson(hello)), hello);
}

TEST(ControlRecords, HelloOptionalMayBeMissingButRequiredFieldsMayNot) {
    const auto hello = decodeJson<HelloMessage>(
        R"({"clientID":"a","clientName":"b","protocolVersion":2,"engine":"srt","supportedCodecs":[],"deviceModel":"x"})");
    EXPECT_EQ(hello.supportsTuning, std::nullopt);
    EXPECT_EQ(hello.engine, EngineKind::srt());
    EXPECT_TRUE(rejects<HelloMessage>(
        R"({"clientID":"a","clientName":"b","protocolVersion":2,"engine":"tcp","supportedCodecs":[]})"));
    // A codec the format does not know, or a codec written by name, fails the whole hello.
    EXPECT_TRUE(rejects<HelloMessage>(
        R"({"clientID":"a","clientName":"b","protocolVersion":2,"engine":"tcp","supportedCodecs":[3],"deviceModel":""})"));
    EXPECT_TRUE(rejects<HelloMessage>(
        R"({"clientID":"a","clientName":"b","protocolVersion":2,"engine":"tcp","supportedCodecs":["hevc"],"deviceModel":""})"));
}

TEST(ControlRecords, WelcomeKeepsAnEmptyParameterObjectAndRequiresIt) {
    WelcomeMessage welcome{"Studio", 4, "TOKEN", EngineKind::tcp(), {}, liveStream(), std::nullopt, true};
    EXPECT_EQ(encodeJson(welcome),
              R"({"senderName":"Studio","protocolVersion":4,"sessionToken":"TOKEN","engine":"tcp",)"
              R"("engineParameters":{},"stream":{"state":"live","sourceName":"Kamera 1","codec":2,)"
              R"("dimensions":{"width":1920,"height":1080},"frameRate":50,"isTestPattern":false},)"
              R"("supportsTuning":true})");
    EXPECT_EQ(decodeJson<WelcomeMessage>(encodeJson(welcome)), welcome);
    EXPECT_TRUE(rejects<WelcomeMessage>(
        R"({"senderName":"S","protocolVersion":4,"sessionToken":"T","engine":"tcp",)"
        R"("stream":{"state":"live","sourceName":"","codec":1,"dimensions":{"width":1,"height":1},)"
        R"("frameRate":1,"isTestPattern":false}})"));
}

TEST(ControlRecords, WelcomeEscapesSlashesInEngineParameters) {
    WelcomeMessage welcome{"S",
                           4,
                           "T",
                           EngineKind::quic(),
                           {{"quicFingerprint", "ab/cd"}, {"quicPort", "5000"}},
                           liveStream(),
                           "SENDER",
                           std::nullopt};
    const std::string text = encodeJson(welcome);
    EXPECT_NE(text.find(R"("engineParameters":{"quicFingerprint":"ab\/cd","quicPort":"5000"})"),
              std::string::npos);
    EXPECT_EQ(decodeJson<WelcomeMessage>(text), welcome);
    // A parameter value must be a string.
    EXPECT_TRUE(rejects<WelcomeMessage>(
        R"({"senderName":"S","protocolVersion":4,"sessionToken":"T","engine":"tcp","engineParameters":{"quicPort":5},)"
        R"("stream":{"state":"live","sourceName":"","codec":1,"dimensions":{"width":1,"height":1},)"
        R"("frameRate":1,"isTestPattern":false}})"));
}

TEST(ControlRecords, StreamInfoStateCodecAndDimensionsAreStrict) {
    const auto info = decodeJson<StreamInfoMessage>(
        R"({"state":"paused","sourceName":"NDI","codec":2,"dimensions":{"width":1280,"height":720},)"
        R"("frameRate":25,"isTestPattern":true,"extra":{"nested":[1]}})");
    EXPECT_EQ(info.state, StreamInfoMessage::State::paused);
    EXPECT_EQ(info.codec, VideoCodec::hevc);
    EXPECT_EQ(info.dimensions, VideoDimensions::hd720());

    const auto withField = [](std::string_view field) {
        return R"({"state":"live","sourceName":"x","frameRate":25,"isTestPattern":false,)" +
               std::string(field) + "}";
    };
    const std::string dims = R"("dimensions":{"width":1280,"height":720})";
    EXPECT_FALSE(rejects<StreamInfoMessage>(withField(R"("codec":1,)" + dims)));
    EXPECT_TRUE(rejects<StreamInfoMessage>(withField(R"("codec":3,)" + dims)));
    EXPECT_TRUE(rejects<StreamInfoMessage>(withField(R"("codec":"hevc",)" + dims)));
    EXPECT_TRUE(rejects<StreamInfoMessage>(withField(R"("codec":1,"dimensions":{"width":1280})")));
    // Sizes from a peer stay within what the frame format carries, so their products cannot overflow.
    EXPECT_TRUE(
        rejects<StreamInfoMessage>(withField(R"("codec":1,"dimensions":{"width":70000,"height":720})")));
    EXPECT_TRUE(rejects<StreamInfoMessage>(withField(R"("codec":1,"dimensions":{"width":-1,"height":720})")));
    EXPECT_TRUE(rejects<StreamInfoMessage>(
        R"({"state":"Live","sourceName":"x","codec":1,"dimensions":{"width":1,"height":1},"frameRate":1,"isTestPattern":false})"));
}

TEST(ControlRecords, KeyframeRequestTierIsOptionalAndRangeChecked) {
    const auto request = decodeJson<KeyframeRequestMessage>(R"({"reason":"frameLoss"})");
    EXPECT_EQ(request.reason, KeyframeRequestMessage::Reason::frameLoss);
    EXPECT_EQ(request.tier, std::nullopt);
    EXPECT_EQ(encodeJson(KeyframeRequestMessage{KeyframeRequestMessage::Reason::decoderError, 2}),
              R"({"reason":"decoderError","tier":2})");
    EXPECT_TRUE(rejects<KeyframeRequestMessage>(R"({"reason":"FrameLoss"})"));
    EXPECT_EQ(json::fromRawString<KeyframeRequestMessage::Reason>("FrameLoss"), std::nullopt);
    EXPECT_EQ(json::rawString(KeyframeRequestMessage::Reason::formatChange), "formatChange");
    EXPECT_TRUE(rejects<KeyframeRequestMessage>(R"({"reason":"frameLoss","tier":256})"));
    EXPECT_TRUE(rejects<KeyframeRequestMessage>(R"({"reason":"frameLoss","tier":1.5})"));
    EXPECT_TRUE(rejects<KeyframeRequestMessage>(R"({"reason":"frameLoss","tier":"1"})"));
}

TEST(ControlRecords, TierReadyLeavesAbsentProvisionalOutAndReadsNullAsAbsent) {
    EXPECT_EQ(encodeJson(TierReadyMessage{1, std::nullopt}), R"({"tier":1})");
    EXPECT_EQ(decodeJson<TierReadyMessage>(R"({"tier":2})"), (TierReadyMessage{2, std::nullopt}));
    EXPECT_EQ(decodeJson<TierReadyMessage>(R"({"tier":2,"provisional":null})"),
              (TierReadyMessage{2, std::nullopt}));
    EXPECT_EQ(decodeJson<TierReadyMessage>(R"({"tier":0,"provisional":true})"), (TierReadyMessage{0, true}));
    EXPECT_TRUE(rejects<TierReadyMessage>(R"({"tier":null})"));
    EXPECT_TRUE(rejects<TierReadyMessage>(R"({"tier":1,"provisional":1})"));
}

TEST(ControlRecords, FrameRateLimitIsAnUnsigned16BitNumber) {
    EXPECT_EQ(decodeJson<FrameRateLimitMessage>(R"({"maxFps":0})").maxFps, 0);
    EXPECT_EQ(decodeJson<FrameRateLimitMessage>(R"({"maxFps":65535})").maxFps, 65535);
    EXPECT_TRUE(rejects<FrameRateLimitMessage>(R"({"maxFps":-1})"));
    EXPECT_TRUE(rejects<FrameRateLimitMessage>(R"({"maxFps":70000})"));
    EXPECT_TRUE(rejects<FrameRateLimitMessage>(R"({"maxFps":30.5})"));
}

TEST(ControlRecords, ReferenceAckCarriesFull64BitFrameNumbers) {
    ReferenceAckMessage ack{1, 1, std::numeric_limits<uint64_t>::max()};
    EXPECT_EQ(encodeJson(ack), R"({"tier":1,"chainStart":1,"newest":18446744073709551615})");
    EXPECT_EQ(decodeJson<ReferenceAckMessage>(encodeJson(ack)), ack);
    EXPECT_TRUE(rejects<ReferenceAckMessage>(R"({"tier":1,"chainStart":-1,"newest":2})"));
    EXPECT_TRUE(rejects<ReferenceAckMessage>(R"({"tier":1,"chainStart":1,"newest":18446744073709551616})"));
}

TEST(ControlRecords, SmallRecordsUseTheirFieldNames) {
    EXPECT_EQ(encodeJson(StandbyBridgeMessage{true, 2}), R"({"active":true,"tier":2})");
    EXPECT_EQ(encodeJson(QualityPreferenceMessage{StreamQuality::proxy}), R"({"quality":"proxy"})");
    EXPECT_EQ(allStreamQualities,
              (std::array{StreamQuality::automatic, StreamQuality::full, StreamQuality::proxy}));
    EXPECT_EQ(encodeJson(EngineSignalMessage{EngineKind::quic(), "rotate", ""}),
              R"({"engine":"quic","kind":"rotate","payload":""})");
    EXPECT_EQ(encodeJson(MediaAttachMessage{"TOKEN"}), R"({"sessionToken":"TOKEN"})");
    EXPECT_EQ(encodeJson(RestartSourceMessage{}), "{}");
    EXPECT_TRUE(rejects<StandbyBridgeMessage>(R"({"active":"true","tier":2})"));
    EXPECT_TRUE(rejects<QualityPreferenceMessage>(R"({"quality":"Full"})"));
    EXPECT_TRUE(
        rejects<EngineSignalMessage>(R"({"engine":{"rawValue":"quic"},"kind":"rotate","payload":""})"));
    EXPECT_TRUE(rejects<MediaAttachMessage>(R"(["TOKEN"])"));
}

TEST(ControlRecords, ReceiverReportHasIssuesOnlyWithLossCounters) {
    ReceiverReportMessage report{1000, 30, 30, 0, 0, 0, 5'000'000'000, 40.5, 60, 2.25, 8, 0};
    EXPECT_FALSE(report.hasIssues());
    EXPECT_EQ(decodeJson<ReceiverReportMessage>(encodeJson(report)), report);
    report.framesLate = 1;
    EXPECT_TRUE(report.hasIssues());
    report.framesLate = 0;
    report.decodeErrors = 1;
    EXPECT_TRUE(report.hasIssues());
}

TEST(ControlRecords, ReceiverReportDoublesAcceptIntegersButNotNonFiniteValues) {
    const auto report = decodeJson<ReceiverReportMessage>(
        R"({"intervalMs":1000,"framesReceived":1,"framesDecoded":1,"framesDropped":0,"framesLost":0,)"
        R"("framesLate":0,"bytesReceived":100,"latencyMedianMs":40,"latencyP95Ms":1e2,"jitterMs":0,)"
        R"("rttMs":3,"decodeErrors":0})");
    EXPECT_EQ(report.latencyMedianMs, 40.0);
    EXPECT_EQ(report.latencyP95Ms, 100.0);

    ReceiverReportMessage broken;
    broken.jitterMs = std::nan("");
    EXPECT_THROW(encodeJson(broken), WireError);
}

TEST(ControlRecords, StreamTuningRoundTripsWithAndWithoutTheOptionalField) {
    StreamTuning tuning{true,         true,
                        false,        true,
                        false,        true,
                        false,        true,
                        20000,        1000,
                        800,          60,
                        std::nullopt, {{0, 1920, 1080, 18000, 59.94, 2}, {2, 640, 360, 800, 30, 1}}};
    const std::string text = encodeJson(tuning);
    EXPECT_EQ(text,
              R"({"remoteControlAllowed":true,"adaptiveBitrate":true,"tolerantAdaptation":false,)"
              R"("mainTierEnabled":true,"middleTierEnabled":false,"proxyEnabled":true,"studioMode":false,)"
              R"("automaticBitrate":true,"mainMaximumKbps":20000,"mainMinimumKbps":1000,"proxyKbps":800,)"
              R"("maximumFrameRate":60,"tiers":[{"tier":0,"width":1920,"height":1080,"bitrateKbps":18000,)"
              R"("frameRate":59.94,"clientCount":2},{"tier":2,"width":640,"height":360,"bitrateKbps":800,)"
              R"("frameRate":30.0,"clientCount":1}]})");
    EXPECT_EQ(decodeJson<StreamTuning>(text), tuning);
    tuning.fullBitrateEncoder = false;
    EXPECT_EQ(decodeJson<StreamTuning>(encodeJson(tuning)), tuning);
}

TEST(ControlRecords, StreamTuningRejectsBadTierRows) {
    const auto withTier = [](std::string_view tier) {
        return R"({"remoteControlAllowed":true,"adaptiveBitrate":true,"tolerantAdaptation":false,)"
               R"("mainTierEnabled":true,"middleTierEnabled":false,"proxyEnabled":true,"studioMode":false,)"
               R"("automaticBitrate":true,"mainMaximumKbps":20000,"mainMinimumKbps":1000,"proxyKbps":800,)"
               R"("maximumFrameRate":60,"tiers":[)" +
               std::string(tier) + "]}";
    };
    EXPECT_FALSE(rejects<StreamTuning>(
        withTier(R"({"tier":0,"width":65535,"height":0,"bitrateKbps":1,"frameRate":1,"clientCount":0})")));
    EXPECT_TRUE(rejects<StreamTuning>(
        withTier(R"({"tier":0,"width":65536,"height":1080,"bitrateKbps":1,"frameRate":1,"clientCount":0})")));
    EXPECT_TRUE(rejects<StreamTuning>(
        withTier(R"({"tier":300,"width":1,"height":1,"bitrateKbps":1,"frameRate":1,"clientCount":0})")));
    EXPECT_TRUE(rejects<StreamTuning>(withTier(
        R"({"tier":0,"width":1,"height":1,"bitrateKbps":3000000000,"frameRate":1,"clientCount":0})")));
    EXPECT_TRUE(rejects<StreamTuning>(
        withTier(R"({"tier":0,"width":1,"height":1,"bitrateKbps":1,"frameRate":"30","clientCount":0})")));
}
