#pragma once

#include "bridge/reporter.hpp"

namespace app {

// The bridge's reports to its front and, beside it, to an observer that renders nothing of its
// own (the service notifier): the bridge still knows one reporter.
class ReporterTee final : public bridge::Reporter {
public:
    ReporterTee(bridge::Reporter& front, bridge::Reporter& observer) : front_(front), observer_(observer) {}

    void hello() override {
        front_.hello();
        observer_.hello();
    }
    void state(std::string_view value, std::string_view reason) override {
        front_.state(value, reason);
        observer_.state(value, reason);
    }
    void peerConnected(const bridge::ReadyPeer& peer) override {
        front_.peerConnected(peer);
        observer_.peerConnected(peer);
    }
    void peerDisconnected(const codec::Uuid& id, std::int64_t mtu, bridge::PeerEnd reason) override {
        front_.peerDisconnected(id, mtu, reason);
        observer_.peerDisconnected(id, mtu, reason);
    }
    void mtu(const codec::Uuid& id, std::int64_t mtu) override {
        front_.mtu(id, mtu);
        observer_.mtu(id, mtu);
    }
    void frame(const codec::Uuid& id, std::span<const std::uint8_t> data) override {
        front_.frame(id, data);
        observer_.frame(id, data);
    }
    void write(const codec::Uuid& id, bridge::WriteOutcome outcome, std::int64_t bytes,
               std::string_view tag) override {
        front_.write(id, outcome, bytes, tag);
        observer_.write(id, outcome, bytes, tag);
    }
    void rejected(const bridge::Rejection& rejection) override {
        front_.rejected(rejection);
        observer_.rejected(rejection);
    }
    void writeRetried(const codec::Uuid& id) override {
        front_.writeRetried(id);
        observer_.writeRetried(id);
    }
    void pairing(const codec::Uuid& id, const ble::PairingRequest& request) override {
        front_.pairing(id, request);
        observer_.pairing(id, request);
    }
    void pairingEnded(const codec::Uuid& id, ble::PairingEnd end) override {
        front_.pairingEnded(id, end);
        observer_.pairingEnded(id, end);
    }
    void hold() override {
        front_.hold();
        observer_.hold();
    }
    void release() override {
        front_.release();
        observer_.release();
    }

private:
    bridge::Reporter& front_;
    bridge::Reporter& observer_;
};

}  // namespace app
