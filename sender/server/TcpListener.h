#pragma once

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

#include "platform/SerialQueue.h"

namespace kelvora {

// A TCP listener that takes connections over IPv4 and IPv6 on one port (one dual-stack socket, or IPv4 alone
// where the host has no IPv6). The port is bound when the listener is made, so a busy port is known at once
// and the caller can choose another; port 0 asks the system for a free one.
//
// Threads: made for one SerialQueue; every call and every handler runs there. The accept loop holds the
// listener weakly and ends with cancel() or with the listener's release.
class TcpListener : public std::enable_shared_from_this<TcpListener> {
  public:
    using AcceptHandler = std::function<void(asio::ip::tcp::socket)>;
    // The listener stopped taking connections for good.
    using FailureHandler = std::function<void(std::error_code)>;

    // Binds `port` (with SO_REUSEADDR, so connections of an earlier run lingering in TIME_WAIT do not block
    // it) and listens. Throws std::system_error when the port cannot be had.
    static std::shared_ptr<TcpListener> open(std::shared_ptr<SerialQueue> queue, uint16_t port);
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Starts taking connections; each accepted socket goes to `onAccept`.
    void start(AcceptHandler onAccept, FailureHandler onFailure);
    // Stops taking connections and closes the port; no handler runs afterwards.
    void cancel();

    // The port actually bound.
    uint16_t port() const { return port_; }

  private:
    TcpListener(std::shared_ptr<SerialQueue> queue, asio::ip::tcp::acceptor acceptor);
    void acceptNext();

    std::shared_ptr<SerialQueue> queue_;
    asio::ip::tcp::acceptor acceptor_;
    uint16_t port_ = 0;
    AcceptHandler onAccept_;
    FailureHandler onFailure_;
    Timer retry_;
    bool cancelled_ = false;
};

}  // namespace kelvora
