#include "ble/corebluetooth/error_text.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ErrorText, NamesCoreBluetoothCodesAndKeepsOtherDomainsAsTheyAre) {
    struct Case {
        const char* domain;
        long code;
        const char* description;
        const char* text;
    };
    const Case cases[] = {
        {"CBErrorDomain", 6, "The connection has timed out unexpectedly.",
         "CBErrorConnectionTimeout (CBErrorDomain 6): The connection has timed out unexpectedly."},
        {"CBErrorDomain", 0, "", "CBErrorUnknown (CBErrorDomain 0)"},
        {"CBErrorDomain", 7, "x", "CBErrorPeripheralDisconnected (CBErrorDomain 7): x"},
        {"CBErrorDomain", 14, "x", "CBErrorPeerRemovedPairingInformation (CBErrorDomain 14): x"},
        {"CBErrorDomain", 18, "x", "CBErrorLeGattNearBackgroundNotificationLimit (CBErrorDomain 18): x"},
        {"CBATTErrorDomain", 3, "Writing is not permitted.",
         "CBATTErrorWriteNotPermitted (CBATTErrorDomain 3): Writing is not permitted."},
        {"CBATTErrorDomain", 0x11, "x", "CBATTErrorInsufficientResources (CBATTErrorDomain 17): x"},
        // Codes past the known ones, below them, and in other domains keep their number only.
        {"CBErrorDomain", 19, "x", "CBErrorDomain 19: x"},
        {"CBATTErrorDomain", 0x80, "x", "CBATTErrorDomain 128: x"},
        {"CBErrorDomain", -1, "x", "CBErrorDomain -1: x"},
        {"NSPOSIXErrorDomain", 6, "Device not configured", "NSPOSIXErrorDomain 6: Device not configured"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(corebluetooth::errorText(c.domain, c.code, c.description), c.text) << c.domain << " " << c.code;
}

}  // namespace
