#pragma once

// What a recording holds: one JSON object per line. The first line says what the file is:
//   {"format":"gattrelay-recording","version":1,"program":"gattrelay","programVersion":"1.2.0",
//    "options":{...}}
// and every later line one thing the stack told the bridge, or one request of the bridge the
// replay needs to time the answers, at "t" milliseconds since the central manager was made:
//   {"t":0,"event":"state","state":5,"reason":""}
//   {"t":3,"event":"discover","peer":ID,"name":"...","rssi":-60,"address":"..."}
//   {"t":3,"event":"connect","peer":ID}                 the bridge asks for a connection
//   {"t":9,"event":"connected","peer":ID}
//   {"t":9,"event":"connectFailed","peer":ID}
//   {"t":12,"event":"services","peer":ID,"ok":true,"count":1}
//   {"t":14,"event":"characteristics","peer":ID,"ok":true,"inbox":true,"outbox":true,"notifying":false}
//   {"t":15,"event":"subscribed","peer":ID,"ok":true}
//   {"t":15,"event":"limit","peer":ID,"limit":182}      the write limit, when the bridge sees it change
//   {"t":20,"event":"write","peer":ID,"length":3,"data":"AQID"}
//   {"t":26,"event":"written","peer":ID,"ok":true}      the answer to the oldest unanswered write
//   {"t":40,"event":"notify","peer":ID,"length":2,"data":"AAE="}
//   {"t":41,"event":"cancel","peer":ID}                 the bridge ends the connection
//   {"t":50,"event":"disconnect","peer":ID,"error":true}
// Keys left out (a name, an rssi, an address) were not told by the stack.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ble/central.hpp"
#include "ble/record/recording_file.hpp"

namespace record {

inline constexpr std::string_view formatName = "gattrelay-recording";
inline constexpr int formatVersion = 1;

struct RecorderOptions {
    std::string_view program;
    std::string_view programVersion;
    // The options that shape the session, as the text of a JSON object.
    std::string sessionOptions = {};
    // Frames' bytes are written as zeros of their length.
    bool lengthsOnly = false;
};

class Recorder {
public:
    using Clock = std::function<std::chrono::milliseconds()>;

    // Writes the first line at once. `clock` tells the time; the recording's times count from
    // start().
    Recorder(RecordingFile& file, const RecorderOptions& options, Clock clock);

    // The central manager is made: time 0.
    void start() { origin_ = clock_(); }

    void state(int state, std::string_view reason);
    void discover(const codec::Uuid& peer, const ble::Advertisement& advertisement,
                  const std::optional<std::string>& address);
    // "connect", "connected", "connectFailed", "cancel".
    void peerEvent(std::string_view event, const codec::Uuid& peer);
    void disconnect(const codec::Uuid& peer, bool error);
    void services(const codec::Uuid& peer, bool ok, std::size_t count);
    void characteristics(const codec::Uuid& peer, bool ok, bool inbox, bool outbox, bool notifying);
    void subscribed(const codec::Uuid& peer, bool ok);
    void limit(const codec::Uuid& peer, std::size_t limit);
    void write(const codec::Uuid& peer, std::span<const std::uint8_t> value);
    void written(const codec::Uuid& peer, bool ok);
    void notify(const codec::Uuid& peer, std::span<const std::uint8_t> value);

private:
    // Starts a line: {"t":T,"event":"NAME" and, with a peer, ,"peer":"ID".
    std::string& begin(std::string_view event, const codec::Uuid* peer = nullptr);
    void flag(std::string_view key, bool value);
    void bytes(std::span<const std::uint8_t> value);
    void end();

    RecordingFile& file_;
    Clock clock_;
    bool lengthsOnly_;
    std::chrono::milliseconds origin_{0};
    std::string line_;
};

}  // namespace record
