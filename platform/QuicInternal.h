#pragma once

// What the QUIC files of this folder share; nothing outside them includes it. Every ngtcp2 call stays in
// these files.

#include <ngtcp2/ngtcp2.h>
#include <spdlog/logger.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvora::quic {

spdlog::logger& quicLog();

// Connection IDs this server issues; short-header packets carry no length, so it must be fixed.
constexpr size_t kServerCidLength = 18;
// Datagrams read per wake-up before pending writes get their turn.
constexpr int kReceiveBatch = 64;
constexpr size_t kDatagramCapacity = 65536;

uint64_t monotonicNow();
void randomBytes(uint8_t* data, size_t length);
std::string cidKey(const uint8_t* data, size_t length);
std::string cidKey(const ngtcp2_cid& cid);

class ConnectionImpl;
class ServerEndpoint;
class StreamImpl;

}  // namespace kelvora::quic
