#pragma once

#include <string>
#include <string_view>

namespace corebluetooth {

// The text of a stack error (an NSError's domain, code and description) for people reading
// diagnostics and tests: CoreBluetooth's own codes by their names, "CBErrorConnectionTimeout
// (CBErrorDomain 6): The connection has timed out unexpectedly."; any other domain as
// "NSPOSIXErrorDomain 1: Operation not permitted".
std::string errorText(std::string_view domain, long code, std::string_view description);

}  // namespace corebluetooth
