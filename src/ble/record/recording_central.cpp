#include "ble/record/recording_central.hpp"

#include <unordered_map>

namespace record {

namespace {

// A peripheral of the stack as the bridge sees it: calls go to the stack's, callbacks come back
// through this one, each recorded on its way.
class RecordingPeripheral final : public ble::Peripheral,
                                  public ble::PeripheralDelegate,
                                  public std::enable_shared_from_this<RecordingPeripheral> {
public:
    RecordingPeripheral(ble::PeripheralPtr inner, Recorder& recorder, const ble::GattProfile& profile)
        : inner_(std::move(inner)), id_(inner_->identifier()), recorder_(recorder), profile_(profile) {}

    const ble::PeripheralPtr& inner() const { return inner_; }

    // ble::Peripheral
    codec::Uuid identifier() const override { return id_; }
    int state() const override { return inner_->state(); }
    void setDelegate(ble::PeripheralDelegate* delegate) override {
        delegate_ = delegate;
        inner_->setDelegate(delegate ? this : nullptr);
    }
    void discoverServices(const std::vector<codec::Uuid>& services) override { inner_->discoverServices(services); }
    std::optional<std::vector<ble::ServicePtr>> services() const override { return inner_->services(); }
    void discoverCharacteristics(const std::vector<codec::Uuid>& characteristics,
                                 const ble::ServicePtr& service) override {
        inner_->discoverCharacteristics(characteristics, service);
    }
    void setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) override { inner_->setNotifyValue(enabled, c); }
    void writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) override {
        recorder_.write(id_, value);
        inner_->writeValue(value, c);
    }
    std::size_t maximumWriteValueLength() const override {
        const std::size_t limit = inner_->maximumWriteValueLength();
        if (limit != lastLimit_) {
            lastLimit_ = limit;
            recorder_.limit(id_, limit);
        }
        return limit;
    }
    std::optional<std::string> address() const override { return inner_->address(); }

    // ble::PeripheralDelegate
    void didDiscoverServices(const ble::PeripheralPtr&, const std::optional<ble::Error>& error) override {
        std::size_t count = 0;
        if (const auto services = inner_->services())
            for (const ble::ServicePtr& s : *services) count += s->uuid() == profile_.service ? 1 : 0;
        recorder_.services(id_, !error, count);
        if (delegate_) delegate_->didDiscoverServices(shared_from_this(), error);
    }
    void didDiscoverCharacteristics(const ble::PeripheralPtr&, const ble::ServicePtr& service,
                                    const std::optional<ble::Error>& error) override {
        bool inbox = false, outbox = false, notifying = false;
        if (const auto characteristics = service->characteristics())
            for (const ble::CharacteristicPtr& c : *characteristics) {
                inbox = inbox || c->uuid() == profile_.inbox;
                if (c->uuid() == profile_.outbox) {
                    outbox = true;
                    notifying = notifying || c->isNotifying();
                }
            }
        recorder_.characteristics(id_, !error, inbox, outbox, notifying);
        if (delegate_) delegate_->didDiscoverCharacteristics(shared_from_this(), service, error);
    }
    void didUpdateNotificationState(const ble::PeripheralPtr&, const ble::CharacteristicPtr& c,
                                    const std::optional<ble::Error>& error) override {
        recorder_.subscribed(id_, !error);
        if (delegate_) delegate_->didUpdateNotificationState(shared_from_this(), c, error);
    }
    void didUpdateValue(const ble::PeripheralPtr&, const ble::CharacteristicPtr& c, std::span<const std::uint8_t> value,
                        const std::optional<ble::Error>& error) override {
        if (!error) recorder_.notify(id_, value);
        if (delegate_) delegate_->didUpdateValue(shared_from_this(), c, value, error);
    }
    void didWriteValue(const ble::PeripheralPtr&, const ble::CharacteristicPtr& c,
                       const std::optional<ble::Error>& error) override {
        recorder_.written(id_, !error);
        if (delegate_) delegate_->didWriteValue(shared_from_this(), c, error);
    }

private:
    const ble::PeripheralPtr inner_;
    const codec::Uuid id_;
    Recorder& recorder_;
    const ble::GattProfile profile_;
    ble::PeripheralDelegate* delegate_ = nullptr;
    // What the recording last said of the write limit; none yet at first.
    mutable std::size_t lastLimit_ = static_cast<std::size_t>(-1);
};

class RecordingCentral final : public ble::CentralManager, public ble::CentralDelegate {
public:
    RecordingCentral(ble::CentralDelegate& delegate, Recorder& recorder, const ble::GattProfile& profile)
        : delegate_(delegate), recorder_(recorder), profile_(profile) {
        recorder_.start();
    }

    void attach(std::unique_ptr<ble::CentralManager> inner) { inner_ = std::move(inner); }

    // ble::CentralManager
    int state() const override { return inner_->state(); }
    std::string_view stateReason() const override { return inner_->stateReason(); }
    bool isScanning() const override { return inner_->isScanning(); }
    void scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) override {
        inner_->scanForPeripherals(services, allowDuplicates);
    }
    void stopScan() override { inner_->stopScan(); }
    void connect(const ble::PeripheralPtr& p) override {
        recorder_.peerEvent("connect", p->identifier());
        inner_->connect(unwrap(p));
    }
    void cancelConnection(const ble::PeripheralPtr& p) override {
        recorder_.peerEvent("cancel", p->identifier());
        inner_->cancelConnection(unwrap(p));
    }
    // Pairings pass through unrecorded: a replay has no agent to ask.
    void answerPairing(const ble::PeripheralPtr& p, const ble::PairingAnswer& answer) override {
        inner_->answerPairing(unwrap(p), answer);
    }

    // ble::CentralDelegate
    void centralDidUpdateState() override {
        recorder_.state(inner_->state(), inner_->stateReason());
        delegate_.centralDidUpdateState();
    }
    void didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement& advertisement) override {
        recorder_.discover(p->identifier(), advertisement, p->address());
        delegate_.didDiscover(wrap(p), advertisement);
    }
    void didConnect(const ble::PeripheralPtr& p) override {
        recorder_.peerEvent("connected", p->identifier());
        delegate_.didConnect(wrap(p));
    }
    void didFailToConnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override {
        recorder_.peerEvent("connectFailed", p->identifier());
        delegate_.didFailToConnect(wrap(p), error);
    }
    void didDisconnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override {
        recorder_.disconnect(p->identifier(), error.has_value());
        delegate_.didDisconnect(wrap(p), error);
    }
    void pairingRequested(const ble::PeripheralPtr& p, const ble::PairingRequest& request) override {
        delegate_.pairingRequested(wrap(p), request);
    }
    void pairingEnded(const ble::PeripheralPtr& p, ble::PairingEnd end) override { delegate_.pairingEnded(wrap(p), end); }

private:
    // The one decorated peripheral of a peripheral of the stack.
    ble::PeripheralPtr wrap(const ble::PeripheralPtr& inner) {
        auto& wrapped = wrapped_[inner.get()];
        if (!wrapped) wrapped = std::make_shared<RecordingPeripheral>(inner, recorder_, profile_);
        return wrapped;
    }
    // The bridge only ever holds peripherals it was given, all decorated here.
    static ble::PeripheralPtr unwrap(const ble::PeripheralPtr& p) {
        return static_cast<const RecordingPeripheral&>(*p).inner();
    }

    ble::CentralDelegate& delegate_;
    Recorder& recorder_;
    const ble::GattProfile profile_;
    std::unique_ptr<ble::CentralManager> inner_;
    std::unordered_map<const ble::Peripheral*, std::shared_ptr<RecordingPeripheral>> wrapped_;
};

}  // namespace

ble::CentralFactory recordingCentral(ble::CentralFactory inner, Recorder& recorder, const ble::GattProfile& profile) {
    return [inner = std::move(inner), &recorder, profile](ble::CentralDelegate& delegate,
                                                          const ble::CentralOptions& options) {
        auto central = std::make_unique<RecordingCentral>(delegate, recorder, profile);
        central->attach(inner(*central, options));
        return std::unique_ptr<ble::CentralManager>(std::move(central));
    };
}

}  // namespace record
