#include "platform/UserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using Json = UserDefaults::Json;

class UserDefaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kelvora-defaults-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = fs::path(pattern) / "Kelvora";
    }
    void TearDown() override { fs::remove_all(root_.parent_path()); }

    // Replaces the file the way another program would: write elsewhere, rename over it.
    void rewriteFromOutside(const std::string& text) {
        fs::create_directories(root_);
        fs::path temporary = root_ / "outside.tmp";
        std::ofstream(temporary) << text;
        fs::rename(temporary, root_ / "test.app.defaults.json");
    }

    fs::path root_;
};

/// Collects handler calls and lets the test wait for them without sleeping.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<Json>> values;

    UserDefaults::Handler handler() {
        return [this](const std::optional<Json>& value) {
            std::lock_guard lock(mutex);
            values.push_back(value);
            changed.notify_all();
        };
    }
    bool waitFor(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return values.size() >= count; });
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return values.size();
    }
};

TEST_F(UserDefaultsTest, TypedReadsAnswerAbsentForMissingAndIllTypedValues) {
    UserDefaults defaults("test.app", root_);
    defaults.set("flag", true);
    defaults.set("count", 42);
    defaults.set("ratio", 1.5);
    defaults.set("name", "Bühne");
    defaults.set("numberOne", 1);

    EXPECT_EQ(defaults.boolValue("flag"), true);
    EXPECT_EQ(defaults.integer("count"), 42);
    EXPECT_EQ(defaults.doubleValue("count"), 42.0);
    EXPECT_EQ(defaults.doubleValue("ratio"), 1.5);
    EXPECT_EQ(defaults.string("name"), "Bühne");

    EXPECT_EQ(defaults.boolValue("numberOne"), std::nullopt);
    EXPECT_EQ(defaults.integer("ratio"), std::nullopt);
    EXPECT_EQ(defaults.integer("name"), std::nullopt);
    EXPECT_EQ(defaults.string("count"), std::nullopt);
    EXPECT_EQ(defaults.boolValue("missing"), std::nullopt);

    rewriteFromOutside(R"({"huge": 18446744073709551615, "max": 9223372036854775807})");
    EXPECT_EQ(defaults.integer("huge"), std::nullopt);
    EXPECT_EQ(defaults.integer("max"), INT64_MAX);
}

TEST_F(UserDefaultsTest, RegisteredDefaultsFillMissingKeysOnly) {
    UserDefaults defaults("test.app", root_);
    defaults.registerDefaults({{"DeveloperMode", true}, {"Rate", 8000}});
    EXPECT_EQ(defaults.boolValue("DeveloperMode"), true);

    defaults.set("DeveloperMode", false);
    EXPECT_EQ(defaults.boolValue("DeveloperMode"), false);
    defaults.remove("DeveloperMode");
    EXPECT_EQ(defaults.boolValue("DeveloperMode"), true);

    // Registered values never reach the file.
    std::ifstream in(defaults.filePath());
    Json stored = Json::parse(in);
    EXPECT_FALSE(stored.contains("Rate"));
    EXPECT_FALSE(stored.contains("DeveloperMode"));
}

TEST_F(UserDefaultsTest, WritesLeaveOnePrivateFileAndNoTemporaries) {
    UserDefaults defaults("test.app", root_);
    defaults.set("SenderSettings.v1", Json{{"frameRate", 25}, {"senderName", "Studio"}});
    defaults.set("SenderID", "7C1B2A34-0000-4000-8000-000000000001");

    EXPECT_EQ(defaults.filePath(), root_ / "test.app.defaults.json");
    struct stat info {};
    ASSERT_EQ(::stat(defaults.filePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);

    std::ifstream in(defaults.filePath());
    Json stored = Json::parse(in);
    EXPECT_EQ(stored["SenderSettings.v1"]["frameRate"], 25);
    EXPECT_EQ(defaults.value("SenderSettings.v1")->at("senderName"), "Studio");
}

TEST_F(UserDefaultsTest, StoresSharingTheFileSeeAndKeepEachOthersKeys) {
    UserDefaults first("test.app", root_);
    UserDefaults second("test.app", root_);
    first.set("seen", 1);
    EXPECT_EQ(second.integer("seen"), 1);  // no stale cache

    constexpr int perThread = 25;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            UserDefaults own("test.app", root_);  // one store per writer, like separate processes
            for (int i = 0; i < perThread; ++i) {
                own.set("k" + std::to_string(t) + "_" + std::to_string(i), i);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    UserDefaults reader("test.app", root_);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < perThread; ++i) {
            EXPECT_EQ(reader.integer("k" + std::to_string(t) + "_" + std::to_string(i)), i);
        }
    }
}

TEST_F(UserDefaultsTest, ObserverFiresOnChangesOnlyAndStopsWhenCancelled) {
    UserDefaults defaults("test.app", root_);
    defaults.registerDefaults({{"DeveloperMode", true}});
    Recorder recorder;
    auto observation = defaults.observe("DeveloperMode", recorder.handler());

    defaults.set("DeveloperMode", true);  // equal to the effective value: no call
    defaults.set("Other", 1);
    EXPECT_EQ(recorder.count(), 0u);

    defaults.set("DeveloperMode", false);
    defaults.remove("DeveloperMode");  // back to the registered default
    ASSERT_EQ(recorder.count(), 2u);
    EXPECT_EQ(recorder.values[0], Json(false));
    EXPECT_EQ(recorder.values[1], Json(true));

    observation.cancel();
    defaults.set("DeveloperMode", false);
    EXPECT_EQ(recorder.count(), 2u);
}

TEST_F(UserDefaultsTest, ObserverSeesAnotherProcessRewritingTheFile) {
    UserDefaults defaults("test.app", root_);
    Recorder recorder;
    auto observation = defaults.observe("AutoSourceRecovery", recorder.handler());

    rewriteFromOutside(R"({"AutoSourceRecovery": true, "x": 1})");
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.values[0], Json(true));
    EXPECT_EQ(defaults.boolValue("AutoSourceRecovery"), true);

    fs::remove(root_ / "test.app.defaults.json");
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.values[1], std::nullopt);
}

TEST_F(UserDefaultsTest, HandlerMayWriteAndCancelItself) {
    UserDefaults defaults("test.app", root_);
    UserDefaults::Observation observation;
    int calls = 0;
    observation = defaults.observe("trigger", [&](const std::optional<Json>&) {
        ++calls;
        defaults.set("echo", "seen");
        observation.cancel();
    });
    defaults.set("trigger", 1);
    defaults.set("trigger", 2);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(defaults.string("echo"), "seen");
}

TEST_F(UserDefaultsTest, DamagedFileReadsEmptyAndIsKeptAsideOnWrite) {
    rewriteFromOutside("{\"truncated\": tr");
    UserDefaults defaults("test.app", root_);
    EXPECT_EQ(defaults.value("truncated"), std::nullopt);

    defaults.set("fresh", 1);
    EXPECT_EQ(defaults.integer("fresh"), 1);
    std::ifstream kept(root_ / "test.app.defaults.json.damaged");
    std::string text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "{\"truncated\": tr");
}

TEST_F(UserDefaultsTest, FailedWriteThrowsAndChangesNothing) {
    UserDefaults defaults("test.app", root_);
    defaults.set("kept", 1);
    EXPECT_THROW(defaults.set("bad", std::numeric_limits<double>::quiet_NaN()), UserDefaultsError);

    UserDefaults blocked("test.app", root_ / "not-a-folder" / "Kelvora");
    std::ofstream(root_ / "not-a-folder") << "file";
    EXPECT_THROW(blocked.set("x", 1), UserDefaultsError);
    EXPECT_EQ(blocked.integer("x"), std::nullopt);
    EXPECT_EQ(defaults.integer("kept"), 1);
    EXPECT_EQ(defaults.value("bad"), std::nullopt);
}

TEST(UserDefaultsRoot, FollowsXdgConfigHome) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    std::string restore = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(UserDefaults::defaultRoot(), fs::path("/tmp/cfg/Kelvora"));
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    EXPECT_EQ(UserDefaults::defaultRoot().filename(), "Kelvora");
    EXPECT_EQ(UserDefaults::defaultRoot().parent_path().filename(), ".config");
    if (saved) {
        ::setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
}  // namespace kelvora
