#include "soak/spy_central.hpp"

namespace soak {

class SpyPeripheral final : public ble::Peripheral,
                            public ble::PeripheralDelegate,
                            public std::enable_shared_from_this<SpyPeripheral> {
public:
    SpyPeripheral(Spy& spy, ble::PeripheralPtr real) : spy_(spy), real_(std::move(real)) {}

    const ble::PeripheralPtr& real() const { return real_; }

    codec::Uuid identifier() const override { return real_->identifier(); }
    int state() const override { return real_->state(); }
    void setDelegate(ble::PeripheralDelegate* delegate) override {
        bridge_ = delegate;
        real_->setDelegate(this);
    }
    void discoverServices(const std::vector<codec::Uuid>& services) override { real_->discoverServices(services); }
    std::optional<std::vector<ble::ServicePtr>> services() const override { return real_->services(); }
    void discoverCharacteristics(const std::vector<codec::Uuid>& characteristics, const ble::ServicePtr& service) override {
        real_->discoverCharacteristics(characteristics, service);
    }
    void setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) override { real_->setNotifyValue(enabled, c); }
    void writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) override {
        spy_.observer().writeIssued(identifier(), value, real_->maximumWriteValueLength());
        real_->writeValue(value, c);
    }
    std::size_t maximumWriteValueLength() const override { return real_->maximumWriteValueLength(); }

    void didDiscoverServices(const ble::PeripheralPtr&, const std::optional<ble::Error>& error) override {
        spy_.observer().otherCallback();
        if (bridge_) bridge_->didDiscoverServices(shared_from_this(), error);
    }
    void didDiscoverCharacteristics(const ble::PeripheralPtr&, const ble::ServicePtr& service,
                                    const std::optional<ble::Error>& error) override {
        spy_.observer().otherCallback();
        if (bridge_) bridge_->didDiscoverCharacteristics(shared_from_this(), service, error);
    }
    void didUpdateNotificationState(const ble::PeripheralPtr&, const ble::CharacteristicPtr& c,
                                    const std::optional<ble::Error>& error) override {
        spy_.observer().otherCallback();
        if (bridge_) bridge_->didUpdateNotificationState(shared_from_this(), c, error);
    }
    void didUpdateValue(const ble::PeripheralPtr&, const ble::CharacteristicPtr& c, std::span<const std::uint8_t> value,
                        const std::optional<ble::Error>& error) override {
        spy_.observer().valueUpdated(identifier(), c, value, error.has_value());
        if (bridge_) bridge_->didUpdateValue(shared_from_this(), c, value, error);
    }
    void didWriteValue(const ble::PeripheralPtr&, const ble::CharacteristicPtr& c,
                       const std::optional<ble::Error>& error) override {
        spy_.observer().writeDone(identifier(), error.has_value(), real_->state());
        if (bridge_) bridge_->didWriteValue(shared_from_this(), c, error);
    }

private:
    Spy& spy_;
    const ble::PeripheralPtr real_;
    ble::PeripheralDelegate* bridge_ = nullptr;
};

namespace {

ble::PeripheralPtr realOf(const ble::PeripheralPtr& p) { return static_cast<SpyPeripheral&>(*p).real(); }

// Receives the backend's central callbacks and hands them on with stand-ins.
class SpyCentralDelegate final : public ble::CentralDelegate {
public:
    SpyCentralDelegate(Spy& spy, ble::CentralDelegate& bridge) : spy_(spy), bridge_(bridge) {}
    void setCentral(const ble::CentralManager* central) { central_ = central; }

    void centralDidUpdateState() override {
        spy_.observer().stateUpdated(central_->state());
        bridge_.centralDidUpdateState();
    }
    void didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement& advertisement) override {
        spy_.observer().otherCallback();
        bridge_.didDiscover(spy_.standIn(p), advertisement);
    }
    void didConnect(const ble::PeripheralPtr& p) override {
        spy_.observer().otherCallback();
        bridge_.didConnect(spy_.standIn(p));
    }
    void didFailToConnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override {
        spy_.observer().connectionEnded(p->identifier());
        bridge_.didFailToConnect(spy_.standIn(p), error);
    }
    void didDisconnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override {
        spy_.observer().connectionEnded(p->identifier());
        bridge_.didDisconnect(spy_.standIn(p), error);
    }

private:
    Spy& spy_;
    ble::CentralDelegate& bridge_;
    const ble::CentralManager* central_ = nullptr;
};

class SpyCentral final : public ble::CentralManager {
public:
    SpyCentral(Spy& spy, const ble::CentralFactory& inner, ble::CentralDelegate& bridge, const ble::CentralOptions& options)
        : delegate_(spy, bridge), inner_(inner(delegate_, options)) {
        delegate_.setCentral(inner_.get());
    }

    int state() const override { return inner_->state(); }
    bool isScanning() const override { return inner_->isScanning(); }
    void scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) override {
        inner_->scanForPeripherals(services, allowDuplicates);
    }
    void stopScan() override { inner_->stopScan(); }
    void connect(const ble::PeripheralPtr& p) override { inner_->connect(realOf(p)); }
    void cancelConnection(const ble::PeripheralPtr& p) override { inner_->cancelConnection(realOf(p)); }

private:
    // Declared first: the inner central calls it until it is destroyed.
    SpyCentralDelegate delegate_;
    std::unique_ptr<ble::CentralManager> inner_;
};

}  // namespace

Spy::~Spy() = default;

ble::CentralFactory Spy::wrap(ble::CentralFactory inner) {
    return [this, inner = std::move(inner)](ble::CentralDelegate& bridge, const ble::CentralOptions& options) {
        return std::unique_ptr<ble::CentralManager>(std::make_unique<SpyCentral>(*this, inner, bridge, options));
    };
}

ble::PeripheralPtr Spy::standIn(const ble::PeripheralPtr& real) {
    auto& slot = byReal_[real.get()];
    if (!slot) slot = std::make_shared<SpyPeripheral>(*this, real);
    return slot;
}

std::optional<std::size_t> Spy::writeLimit(const codec::Uuid& id) const {
    for (const auto& [real, standIn] : byReal_)
        if (real->identifier() == id) return real->maximumWriteValueLength();
    return std::nullopt;
}

}  // namespace soak
