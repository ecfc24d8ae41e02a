#include "sender/sources/SourceFrame.h"
#include "sender/sources/TestPatternSource.h"
#include "sender/sources/VideoFileSource.h"

#include <gtest/gtest.h>

using namespace kelvora;

TEST(SourceFrame, DimensionsFollowThePictureNotAnyConfiguredSize) {
    SourceFrame frame{PixelBuffer::make(PixelFormat::nv12, 640, 360), 42, false};
    EXPECT_EQ(frame.dimensions(), (VideoDimensions{640, 360}));
    EXPECT_EQ(SourceFrame{}.dimensions(), (VideoDimensions{0, 0}));
}

TEST(VideoSource, NamesAndIdentifiersTellTheKindOfSource) {
    auto pattern = std::make_shared<TestPatternSource>(VideoDimensions::hd720(), 30);
    EXPECT_EQ(pattern->name(), "Testbild");
    EXPECT_EQ(pattern->identifier(), "testpattern");

    auto file = std::make_shared<VideoFileSource>("/Users/a/Filme/Clip.final.mov");
    EXPECT_EQ(file->name(), "Clip.final");
    EXPECT_EQ(file->identifier(), "videofile:/Users/a/Filme/Clip.final.mov");
}

TEST(VideoSource, StoppingASourceThatNeverStartedOrTwiceDoesNoHarm) {
    auto pattern = std::make_shared<TestPatternSource>(VideoDimensions{320, 240}, 30);
    pattern->stop();
    pattern->stop();
    auto file = std::make_shared<VideoFileSource>("/nonexistent/clip.mov");
    file->stop();
    file->stop();
    // Destroying them joins their queues, so the stops have run by now without a crash.
    pattern.reset();
    file.reset();
}
