#include "TestVideoFile.h"
#include "sender/sources/Libav.h"
#include "sender/sources/SampleVideoGenerator.h"
#include "sender/sources/SampleVideoPainter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stop_token>
#include <system_error>
#include <vector>

using namespace kelvora;
using kelvora::testsupport::TemporaryFolder;

namespace {

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files.push_back(entry.path().filename());
    }
    return files;
}

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

// The clip is written at the length asked for; half a second here, since the full twelve take long to
// encode (and far longer under the sanitizers).
TEST(SampleVideoGenerator, Writes1080pH264AtSixtyFpsOfTheGivenLengthIntoTheApplicationFolder) {
    TemporaryFolder root;
    const auto folder = root.path() / "Kelvora";  // not there yet: the generator makes it
    EXPECT_FALSE(SampleVideoGenerator::exists(folder));
    const int frames = 30;
    const auto path = SampleVideoGenerator::generate(folder, {}, frames);
    EXPECT_EQ(path, folder / "Beispielvideo.mov");
    EXPECT_TRUE(SampleVideoGenerator::exists(folder));
    EXPECT_EQ(filesIn(folder), std::vector<std::filesystem::path>{"Beispielvideo.mov"});

    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    libav::InputContext input(raw);
    ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
    EXPECT_STREQ(input->iformat->name, "mov,mp4,m4a,3gp,3g2,mj2");
    ASSERT_EQ(input->nb_streams, 1u);
    const AVStream& stream = *input->streams[0];
    EXPECT_EQ(stream.codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(stream.codecpar->width, 1920);
    EXPECT_EQ(stream.codecpar->height, 1080);
    EXPECT_EQ(stream.codecpar->color_space, AVCOL_SPC_BT709);
    EXPECT_EQ(av_q2d(stream.avg_frame_rate), 60.0);
    EXPECT_NEAR(static_cast<double>(stream.duration) * av_q2d(stream.time_base), frames / 60.0, 1e-9);

    // Every picture is there, each 1/60 s after the one before.
    libav::Packet packet(av_packet_alloc());
    std::vector<int64_t> times;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        times.push_back(packet->pts);
        av_packet_unref(packet.get());
    }
    ASSERT_EQ(times.size(), size_t(frames));
    std::sort(times.begin(), times.end());
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(times[i] - times[0]) * av_q2d(stream.time_base), i / 60.0, 1e-9);
    }
}

TEST(SampleVideoGenerator, AnExistingFileIsUsedAsItIsEvenWhenDamaged) {
    TemporaryFolder root;
    const auto existing = SampleVideoGenerator::outputPath(root.path());
    std::ofstream(existing) << "damaged";
    EXPECT_EQ(SampleVideoGenerator::generate(root.path()), existing);
    EXPECT_EQ(contentsOf(existing), "damaged");
}

TEST(SampleVideoGenerator, ACancelledGenerationLeavesNoFileBehind) {
    TemporaryFolder root;
    std::stop_source stop;
    stop.request_stop();
    try {
        SampleVideoGenerator::generate(root.path(), stop.get_token());
        FAIL() << "a cancelled generation must not succeed";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::operation_canceled);
    }
    EXPECT_TRUE(filesIn(root.path()).empty());
}

TEST(SampleVideoGenerator, AFolderThatCannotBeMadeIsReportedAndNothingIsWritten) {
    TemporaryFolder root;
    const auto blocker = root.path() / "Kelvora";
    std::ofstream(blocker) << "a file where the folder should be";
    EXPECT_THROW(SampleVideoGenerator::generate(blocker), std::filesystem::filesystem_error);
    EXPECT_EQ(filesIn(root.path()), std::vector<std::filesystem::path>{"Kelvora"});
}

TEST(SampleVideoGenerator, AWriteFailureIsTheSampleVideoErrorWithItsGermanText) {
    TemporaryFolder root;
    try {
        SampleVideoGenerator::write(root.path() / "missing-folder" / "clip.mov");
        FAIL() << "writing into a missing folder must fail";
    } catch (const SampleVideoError& error) {
        EXPECT_EQ(error, SampleVideoError::writeFailed());
        EXPECT_STREQ(error.what(), "Das Beispielvideo konnte nicht erzeugt werden.");
        EXPECT_FALSE(error.detail().empty());
    }
}

TEST(SampleVideoPainter, FirstPictureShowsTheBallAtItsStartAndTheMarqueeMovesByOneCopyOverTheClip) {
    SampleVideoPainter painter(SampleVideoGenerator::dimensions);
    std::vector<uint8_t> picture(1920 * 1080 * 4);
    painter.draw(picture.data(), 1920 * 4, 0, 720);
    // The ball's bounding square starts at (920, 554) from the bottom left: its centre is (960, 594).
    const uint8_t* centre = picture.data() + (static_cast<size_t>(1080 - 594) * 1920 + 960) * 4;
    EXPECT_EQ(centre[2], 255);       // red
    EXPECT_NEAR(centre[1], 217, 1);  // green 0.85
    EXPECT_NEAR(centre[0], 51, 1);   // blue 0.2
    EXPECT_EQ(centre[3], 255);
    EXPECT_GT(painter.marqueeWidth(), 1920.0);
}
