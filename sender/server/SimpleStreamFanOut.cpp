#include "sender/server/SimpleStreamFanOut.h"

#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <string>

#include "core/Log.h"
#include "core/MonotonicClock.h"

namespace kelvora {

struct SimpleStreamFanOut::Client {
    explicit Client(uint64_t id, asio::ip::tcp::socket socket) : id(id), socket(std::move(socket)) {}

    uint64_t id;
    asio::ip::tcp::socket socket;
    std::string remote;
    std::string address;
    std::deque<std::shared_ptr<const Bytes>> outbox;
    // Bytes in `outbox`, the packet being written included.
    size_t queuedBytes = 0;
    bool writing = false;
    // Frames are held back until a keyframe: at the start, and after the receiver fell too far behind.
    bool waitingForKeyframe = true;
    bool closed = false;
    std::array<uint8_t, 1024> readBuffer{};
};

namespace {

asio::ip::address plainAddress(const asio::ip::tcp::endpoint& endpoint) {
    asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

std::string describe(const asio::ip::tcp::endpoint& endpoint) {
    const asio::ip::address address = plainAddress(endpoint);
    if (address.is_v6()) {
        return "[" + address.to_string() + "]:" + std::to_string(endpoint.port());
    }
    return address.to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

std::shared_ptr<SimpleStreamFanOut> SimpleStreamFanOut::create(std::shared_ptr<SerialQueue> queue,
                                                               uint16_t port, Handlers handlers) {
    return std::shared_ptr<SimpleStreamFanOut>(
        new SimpleStreamFanOut(std::move(queue), port, std::move(handlers)));
}

SimpleStreamFanOut::SimpleStreamFanOut(std::shared_ptr<SerialQueue> queue, uint16_t port, Handlers handlers)
    : queue_(std::move(queue)), requestedPort_(port), handlers_(std::move(handlers)) {}

SimpleStreamFanOut::~SimpleStreamFanOut() {
    for (auto& [id, client] : clients_) {
        std::error_code ignored;
        client->closed = true;
        client->socket.close(ignored);
    }
}

void SimpleStreamFanOut::start() {
    queue_->assertCurrent("SimpleStreamFanOut::start");
    if (listener_) {
        return;
    }
    try {
        listener_ = TcpListener::open(queue_, requestedPort_);
    } catch (const std::system_error& error) {
        Log::network().error("Einfacher Stream: Port belegt ({})", error.code().message());
        return;
    }
    std::weak_ptr<SimpleStreamFanOut> weakSelf = weak_from_this();
    listener_->start(
        [weakSelf](asio::ip::tcp::socket socket) {
            if (auto self = weakSelf.lock()) {
                self->accept(std::move(socket));
            }
        },
        [weakSelf](std::error_code error) {
            if (auto self = weakSelf.lock()) {
                Log::network().error("Einfacher H.264-Stream: {}", error.message());
                self->listener_.reset();
            }
        });
    Log::network().info("Einfacher H.264-Stream bereit auf Port {}", listener_->port());
}

void SimpleStreamFanOut::stop() {
    queue_->assertCurrent("SimpleStreamFanOut::stop");
    if (listener_) {
        listener_->cancel();
        listener_.reset();
    }
    auto clients = std::move(clients_);
    clients_.clear();
    for (auto& [id, client] : clients) {
        std::error_code ignored;
        client->closed = true;
        client->socket.close(ignored);
    }
    reportCount();
}

std::optional<uint16_t> SimpleStreamFanOut::port() const {
    queue_->assertCurrent("SimpleStreamFanOut::port");
    if (!listener_) {
        return std::nullopt;
    }
    return listener_->port();
}

size_t SimpleStreamFanOut::queuedBytes() const {
    queue_->assertCurrent("SimpleStreamFanOut::queuedBytes");
    size_t total = 0;
    for (const auto& [id, client] : clients_) {
        total += client->queuedBytes;
    }
    return total;
}

void SimpleStreamFanOut::accept(asio::ip::tcp::socket socket) {
    std::error_code error;
    socket.set_option(asio::ip::tcp::no_delay(true), error);
    auto client = std::make_shared<Client>(nextClientId_++, std::move(socket));
    const auto remote = client->socket.remote_endpoint(error);
    client->remote = error ? std::string("?") : describe(remote);
    client->address = error ? std::string("?") : plainAddress(remote).to_string();
    const auto sameAddress = std::count_if(clients_.begin(), clients_.end(), [&](const auto& entry) {
        return entry.second->address == client->address;
    });
    if (clients_.size() >= maximumReceivers ||
        static_cast<std::size_t>(sameAddress) >= maximumReceiversPerAddress) {
        // Each receiver may hold maximumQueuedBytes; the caps bound what all of them together can.
        if (const auto refusals = refusalLog_.count(MonotonicClock::now())) {
            Log::network().warn(
                "Einfacher Stream: Empfänger {} abgewiesen, zu viele Empfänger ({} seit der "
                "letzten Meldung)",
                client->remote, *refusals);
        }
        client->socket.close(error);
        return;
    }
    clients_.emplace(client->id, client);
    Log::network().info("Einfacher Stream: Empfänger verbunden ({})", client->remote);
    // The keyframe is asked for before the count rises, so that no picture is encoded for the new receiver
    // as anything but a keyframe.
    if (handlers_.receiverReady) {
        handlers_.receiverReady();
    }
    reportCount();
    readNext(client);
}

void SimpleStreamFanOut::readNext(const std::shared_ptr<Client>& client) {
    std::weak_ptr<SimpleStreamFanOut> weakSelf = weak_from_this();
    client->socket.async_read_some(asio::buffer(client->readBuffer),
                                   [weakSelf, client](std::error_code error, std::size_t) {
                                       auto self = weakSelf.lock();
                                       if (!self || client->closed) {
                                           return;
                                       }
                                       if (error) {
                                           // End of the receiver's side, or a broken connection.
                                           self->drop(client);
                                           return;
                                       }
                                       self->readNext(client);
                                   });
}

void SimpleStreamFanOut::broadcast(std::shared_ptr<const Bytes> packets, bool isKeyframe) {
    queue_->assertCurrent("SimpleStreamFanOut::broadcast");
    for (auto& [id, client] : clients_) {
        offer(*client, packets, isKeyframe);
        if (!client->writing && !client->outbox.empty()) {
            writeNext(client);
        }
    }
}

void SimpleStreamFanOut::offer(Client& client, const std::shared_ptr<const Bytes>& packets, bool isKeyframe) {
    if (client.waitingForKeyframe && !isKeyframe) {
        return;
    }
    // A lone frame always goes, however large: the bound is on what piles up behind a slow reader.
    if (client.queuedBytes > 0 && client.queuedBytes + packets->size() > maximumQueuedBytes) {
        if (!client.waitingForKeyframe) {
            Log::network().info(
                "Einfacher Stream: Empfänger {} kommt nicht nach – Frames bis zum nächsten Keyframe "
                "verworfen",
                client.remote);
        }
        client.waitingForKeyframe = true;
        return;
    }
    client.waitingForKeyframe = false;
    client.queuedBytes += packets->size();
    client.outbox.push_back(packets);
}

void SimpleStreamFanOut::writeNext(const std::shared_ptr<Client>& client) {
    if (client->closed || client->outbox.empty()) {
        client->writing = false;
        return;
    }
    client->writing = true;
    std::shared_ptr<const Bytes> packets = client->outbox.front();
    std::weak_ptr<SimpleStreamFanOut> weakSelf = weak_from_this();
    asio::async_write(client->socket, asio::buffer(*packets),
                      [weakSelf, client, packets](std::error_code error, std::size_t) {
                          auto self = weakSelf.lock();
                          if (!self || client->closed) {
                              return;
                          }
                          client->outbox.pop_front();
                          client->queuedBytes -= packets->size();
                          if (error) {
                              self->drop(client);
                              return;
                          }
                          self->writeNext(client);
                      });
}

void SimpleStreamFanOut::drop(const std::shared_ptr<Client>& client) {
    if (client->closed) {
        return;
    }
    client->closed = true;
    std::error_code ignored;
    client->socket.close(ignored);
    clients_.erase(client->id);
    reportCount();
}

void SimpleStreamFanOut::reportCount() {
    if (handlers_.clientCount) {
        handlers_.clientCount(clientCount());
    }
}

}  // namespace kelvora
