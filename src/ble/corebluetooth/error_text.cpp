#include "ble/corebluetooth/error_text.hpp"

#include <array>

namespace corebluetooth {

namespace {

// CBError, in the order of its values from 0.
constexpr std::array<std::string_view, 19> errorNames{
    "CBErrorUnknown",
    "CBErrorInvalidParameters",
    "CBErrorInvalidHandle",
    "CBErrorNotConnected",
    "CBErrorOutOfSpace",
    "CBErrorOperationCancelled",
    "CBErrorConnectionTimeout",
    "CBErrorPeripheralDisconnected",
    "CBErrorUUIDNotAllowed",
    "CBErrorAlreadyAdvertising",
    "CBErrorConnectionFailed",
    "CBErrorConnectionLimitReached",
    "CBErrorUnknownDevice",
    "CBErrorOperationNotSupported",
    "CBErrorPeerRemovedPairingInformation",
    "CBErrorEncryptionTimedOut",
    "CBErrorTooManyLEPairedDevices",
    "CBErrorLeGattExceededBackgroundNotificationLimit",
    "CBErrorLeGattNearBackgroundNotificationLimit",
};

// CBATTError: the ATT protocol's error codes, in the order of their values from 0.
constexpr std::array<std::string_view, 18> attErrorNames{
    "CBATTErrorSuccess",
    "CBATTErrorInvalidHandle",
    "CBATTErrorReadNotPermitted",
    "CBATTErrorWriteNotPermitted",
    "CBATTErrorInvalidPdu",
    "CBATTErrorInsufficientAuthentication",
    "CBATTErrorRequestNotSupported",
    "CBATTErrorInvalidOffset",
    "CBATTErrorInsufficientAuthorization",
    "CBATTErrorPrepareQueueFull",
    "CBATTErrorAttributeNotFound",
    "CBATTErrorAttributeNotLong",
    "CBATTErrorInsufficientEncryptionKeySize",
    "CBATTErrorInvalidAttributeValueLength",
    "CBATTErrorUnlikelyError",
    "CBATTErrorInsufficientEncryption",
    "CBATTErrorUnsupportedGroupType",
    "CBATTErrorInsufficientResources",
};

template <std::size_t N>
std::string_view nameOf(const std::array<std::string_view, N>& names, long code) {
    return code >= 0 && static_cast<std::size_t>(code) < N ? names[static_cast<std::size_t>(code)] : std::string_view();
}

}  // namespace

std::string errorText(std::string_view domain, long code, std::string_view description) {
    std::string_view name;
    if (domain == "CBErrorDomain") name = nameOf(errorNames, code);
    if (domain == "CBATTErrorDomain") name = nameOf(attErrorNames, code);

    std::string text;
    if (!name.empty()) {
        text.append(name).append(" (");
        text.append(domain).append(" ").append(std::to_string(code)).append(")");
    } else {
        text.append(domain).append(" ").append(std::to_string(code));
    }
    if (!description.empty()) text.append(": ").append(description);
    return text;
}

}  // namespace corebluetooth
