#pragma once

#include "ble/central.hpp"
#include "ble/gatt_profile.hpp"
#include "ble/record/recorder.hpp"

namespace record {

// The central factory `inner`, decorated: every central manager it makes, its peripherals and
// the callbacks they deliver pass through a layer that tells `recorder` what the stack said, and
// changes nothing else. The bridge sees one decorated peripheral per peripheral of the stack, so
// handles still compare by identity. `profile` is the service and characteristics the bridge
// looks for, to tell which characteristics were found.
ble::CentralFactory recordingCentral(ble::CentralFactory inner, Recorder& recorder, const ble::GattProfile& profile);

}  // namespace record
