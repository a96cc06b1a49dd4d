#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "ble/uuid.hpp"

namespace protocol {

// Receives each finished event line, line feed included.
using LineSink = std::function<void(std::string_view line)>;

// The bridge's only output: one compact JSON object per line, keys in byte order, "/" written
// as "\/". Main thread only, so lines never interleave.
class EventStream {
public:
    explicit EventStream(LineSink sink);

    void hello();
    void state(std::string_view value);
    void peerConnected(const ble::Uuid& id, std::int64_t mtu);
    void peerDisconnected(const ble::Uuid& id, std::int64_t mtu);
    void frame(const ble::Uuid& id, std::span<const std::uint8_t> data);
    void write(const ble::Uuid& id, bool accepted, std::int64_t bytes);

private:
    void peer(const ble::Uuid& id, bool connected, std::int64_t mtu);
    void finish();

    LineSink sink_;
    // Reused for every event, so writing one allocates nothing once they have grown.
    std::string line_;
    std::string base64_;
};

// Writes each line to standard output with whole-line writes (a short or interrupted write is
// finished, never torn); a closed standard output loses the line and nothing else.
LineSink standardOutput();

}  // namespace protocol
