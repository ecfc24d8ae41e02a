#pragma once

#include "sender/server/StreamingEngine.h"

namespace kelvora {

// The default media transport: frames travel as videoFrame messages on the viewer's control connection, so
// there is nothing to open, start or stop. Always available; the welcome carries no parameters for it.
class NativeTCPEngine final : public StreamingEngine {
  public:
    EngineKind kind() const override { return EngineKind::tcp(); }
    bool isAvailable() const override { return true; }
    std::string statusDetail() const override { return "über Steuerverbindung"; }
    void start(const std::shared_ptr<StreamingEngineContext>&) override {}
    void stop() override {}
    std::map<std::string, std::string> engineParameters(const SenderSession&) override { return {}; }
    // Gives the session a sink on its own control connection, connected at once.
    void attach(const std::shared_ptr<SenderSession>& session) override;
    void handleSignal(const EngineSignalMessage&, const std::shared_ptr<SenderSession>&) override {}
};

}  // namespace kelvora
