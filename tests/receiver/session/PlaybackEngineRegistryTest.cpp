#include <gtest/gtest.h>

#include <algorithm>

#include "receiver/session/NativeTCPPlaybackEngine.h"
#include "receiver/session/PlaybackEngineRegistry.h"

namespace kelvora {
namespace {

// Counts the engines its factory made, so a test can tell which factory an entry holds.
class CountingEngine final : public PlaybackEngine {
  public:
    explicit CountingEngine(int serial) : serial(serial) {}
    EngineKind kind() const override { return EngineKind{"test-counting"}; }
    void start(const PlaybackEngineContext&) override {}
    void handle(const EngineSignalMessage&) override {}
    int framesInFlight() const override { return serial; }
    bool deliversInOrder() const override { return false; }
    void stop() override {}
    const int serial;
};

long countOf(const std::vector<EngineKind>& kinds, const EngineKind& kind) {
    return std::count(kinds.begin(), kinds.end(), kind);
}

TEST(PlaybackEngineRegistry, KnowsTcpAndMakesAFreshEngineEachTime) {
    auto kinds = PlaybackEngineRegistry::availableKinds();
    EXPECT_EQ(countOf(kinds, EngineKind::tcp()), 1);

    auto first = PlaybackEngineRegistry::makeEngine(EngineKind::tcp());
    auto second = PlaybackEngineRegistry::makeEngine(EngineKind::tcp());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->kind(), EngineKind::tcp());
    EXPECT_NE(dynamic_cast<NativeTCPPlaybackEngine*>(first.get()), nullptr);
}

TEST(PlaybackEngineRegistry, KindsKnownOnlyByNameMakeNoEngine) {
    EXPECT_EQ(PlaybackEngineRegistry::makeEngine(EngineKind::srt()), nullptr);
    EXPECT_EQ(PlaybackEngineRegistry::makeEngine(EngineKind::webrtc()), nullptr);
    EXPECT_EQ(PlaybackEngineRegistry::makeEngine(EngineKind{""}), nullptr);
}

TEST(PlaybackEngineRegistry, RegisteringAgainReplacesTheFactoryAndMovesTheKindToTheEnd) {
    const EngineKind kind{"test-counting"};
    PlaybackEngineRegistry::registerEngine(kind, [] { return std::make_shared<CountingEngine>(1); });
    PlaybackEngineRegistry::registerEngine(kind, [] { return std::make_shared<CountingEngine>(2); });
    auto kinds = PlaybackEngineRegistry::availableKinds();
    EXPECT_EQ(countOf(kinds, kind), 1);
    EXPECT_EQ(kinds.back(), kind);
    auto engine = PlaybackEngineRegistry::makeEngine(kind);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->framesInFlight(), 2);

    // A built-in kind moves behind the one registered after it, and still makes its own engine.
    const size_t before = kinds.size();
    PlaybackEngineRegistry::registerEngine(EngineKind::tcp(),
                                           [] { return std::make_shared<NativeTCPPlaybackEngine>(); });
    kinds = PlaybackEngineRegistry::availableKinds();
    EXPECT_EQ(kinds.size(), before);
    EXPECT_EQ(kinds.back(), EngineKind::tcp());
    EXPECT_EQ(countOf(kinds, EngineKind::tcp()), 1);
    ASSERT_NE(PlaybackEngineRegistry::makeEngine(EngineKind::tcp()), nullptr);
}

TEST(NativeTCPPlaybackEngine, NeverHasFramesInFlight) {
    NativeTCPPlaybackEngine engine;
    EXPECT_EQ(engine.framesInFlight(), 0);
    PlaybackEngineContext context;
    context.welcome.engine = EngineKind::tcp();
    EXPECT_NO_THROW(engine.start(context));
    engine.handle(EngineSignalMessage{EngineKind::tcp(), "rotate", ""});
    EXPECT_EQ(engine.framesInFlight(), 0);
    engine.stop();
    EXPECT_EQ(engine.framesInFlight(), 0);
}

}  // namespace
}  // namespace kelvora
