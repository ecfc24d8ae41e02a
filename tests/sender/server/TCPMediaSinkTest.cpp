#include <gtest/gtest.h>

#include "LoopbackClient.h"
#include "core/FramedConnection.h"
#include "core/TcpByteStream.h"
#include "sender/server/TCPMediaSink.h"
#include "sender/server/TcpListener.h"

using namespace kelvora;
using namespace kelvora::testing;

TEST(TCPMediaSink, CongestionFollowsPendingFramesAndBytes) {
    EXPECT_EQ(TCPMediaSink::congestionFor(0, 0), SinkCongestion::none);
    EXPECT_EQ(TCPMediaSink::congestionFor(1'500'000, 1), SinkCongestion::none);
    EXPECT_EQ(TCPMediaSink::congestionFor(1'500'001, 0), SinkCongestion::severe);
    EXPECT_EQ(TCPMediaSink::congestionFor(100, 2), SinkCongestion::moderate);
    EXPECT_EQ(TCPMediaSink::congestionFor(100, 3), SinkCongestion::severe);
    EXPECT_EQ(TCPMediaSink::congestionFor(2'000'000, 3), SinkCongestion::severe);
}

TEST(TCPMediaSink, WritesTheSharedBytesOnTheControlConnectionAndKeepsDoingSoAfterClose) {
    auto queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("server"));
    std::shared_ptr<FramedConnection> connection;
    auto listener = queue->sync([&] {
        auto opened = TcpListener::open(queue, 0);
        opened->start(
            [&](asio::ip::tcp::socket socket) {
                connection = FramedConnection::create(TcpByteStream::adopt(queue, std::move(socket)), queue);
                connection->start();
            },
            nullptr);
        return opened;
    });
    LoopbackClient viewer(queue->sync([&] { return listener->port(); }));
    ASSERT_TRUE(waitUntil([&] { return queue->sync([&] { return connection != nullptr; }); }));

    const EncodedVideoFrame frame =
        EncodedVideoFrame::make(VideoCodec::h264, EncodedVideoFrame::Flags::keyframe, 1, 7, std::nullopt, 1,
                                2, {640, 360}, 900, {}, Bytes(300, 9));
    auto message = std::make_shared<const Bytes>(ControlMessage(frame).encoded());
    queue->sync([&] {
        TCPMediaSink sink(connection);
        sink.send(frame, message);
        EXPECT_EQ(connection->pendingFrames(), 1);
        EXPECT_EQ(sink.congestionForTier(0), sink.congestionForTier(2));
        sink.close();
        sink.send(frame, message);
    });
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(viewer.read(message->size()), *message);
    }
    queue->sync([&] {
        listener->cancel();
        connection->close(std::nullopt);
        connection.reset();
    });
}
