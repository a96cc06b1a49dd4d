#pragma once

#include <string_view>
#include <vector>

#include "codec/uuid.hpp"

namespace corebluetooth {

// The calls CentralPolicy makes of CoreBluetooth's central manager. Peripherals are named by
// their object's identity (identityOf in corebluetooth_peripheral.h), which stays valid while
// the policy's record holds the object.
class Stack {
public:
    virtual ~Stack() = default;
    // ble::ManagerState values.
    virtual int state() const = 0;
    // Why the state is what it is, where the system says ("denied" for unauthorized); empty
    // otherwise.
    virtual std::string_view stateReason() const = 0;
    virtual bool isScanning() const = 0;
    // With duplicates: every advertisement is reported.
    virtual void scan(const std::vector<codec::Uuid>& services) = 0;
    virtual void stopScan() = 0;
    virtual void connect(const void* object) = 0;
    virtual void cancel(const void* object) = 0;
    // The peripherals connected to the system that offer one of `services`, each given to
    // CentralPolicy::discovered before this returns.
    virtual void retrieveConnected(const std::vector<codec::Uuid>& services) = 0;
};

}  // namespace corebluetooth
