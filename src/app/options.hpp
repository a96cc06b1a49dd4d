#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ble/gatt_profile.hpp"
#include "mqtt/settings.hpp"
#include "bridge/peer_filter.hpp"
#include "protocol/protocol.hpp"

namespace app {

// What an executable accepts besides the options every one takes.
struct Program {
    std::string_view name;     // "gattrelay"
    std::string_view backend;  // "bluez", "sim"
    bool takesAdapter = false;
    bool takesWorld = false;
    // --replay and --print-world: the simulated stack built from a recording.
    bool replays = false;
    // The stack shows device addresses, so --peer takes one.
    bool showsAddresses = false;
    // --pairing: the backend can answer pairings.
    bool pairs = false;
};

// The command line, parsed.
struct Options {
    enum class Action { run, help, version };
    Action action = Action::run;
    ble::GattProfile profile = ble::defaultGattProfile;
    ::protocol::Protocol protocol = ::protocol::Protocol::v1;
    bool verbose = false;
    // "hci1" or an address "00:11:22:33:44:55"; absent for the backend's own choice.
    std::optional<std::string> adapter;
    // The world file; absent for the built-in one.
    std::optional<std::string> world;
    // The MQTT front instead of standard input and output (--mqtt); its gateway empty for the
    // host's name.
    std::optional<mqtt::Settings> mqtt;
    // --peer, --name and --min-rssi.
    bridge::PeerFilter::Rules filter;
    // --list: how long to look around, in seconds, instead of bridging.
    std::optional<int> listSeconds;
    // --record: the file the session is recorded to; --record-lengths-only: frames' bytes
    // become zeros of their length.
    std::optional<std::string> record;
    bool recordLengthsOnly = false;
    // --replay: the recording the simulated stack is built from; --print-world: print it as a
    // world file instead of running.
    std::optional<std::string> replay;
    bool printWorld = false;
    // --pairing: answer pairings with this capability ("display-only", "keyboard-only",
    // "keyboard-display").
    std::optional<std::string> pairing;
};

// Options, or the one line (without its line feed) that says what is wrong with the command line.
struct ParsedOptions {
    std::optional<Options> options;
    std::string error;
};

// `args` are the arguments after the program's name. Options and the world file come in any
// order; "--" ends the options.
ParsedOptions parseOptions(const Program& program, std::span<const char* const> args);

// The text of --help, ending in a line feed.
std::string usage(const Program& program);
// The line of --version, without its line feed.
std::string versionLine(const Program& program);

}  // namespace app
