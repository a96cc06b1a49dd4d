#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mqtt {

// Where the broker is: mqtt://[user[:password]@]host[:port] or mqtts://...
struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 1883;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

// The URL, or nothing with `error` saying what is wrong with it. User and password may hold
// %XX escapes; a host may be a name, an IPv4 address or an IPv6 address in brackets.
std::optional<BrokerUrl> parseBrokerUrl(std::string_view text, std::string& error);

// What the MQTT front needs to know.
struct Settings {
    BrokerUrl broker;
    // A CA certificate file for mqtts://; absent for the system's store.
    std::optional<std::string> caFile;
    // A file whose first line is the password (read before the front starts).
    std::optional<std::string> passwordFile;
    // Empty for the host's name.
    std::string gateway;
    std::string topicPrefix = "gattrelay";
    // For frames from peers; everything else goes with QoS 1.
    int rxQos = 1;
    // A client certificate and its key for mqtts://, both or neither.
    std::optional<std::string> certFile;
    std::optional<std::string> keyFile;
    // Empty for "P/G".
    std::string clientId;
    // How long the broker keeps the session while we are away; 0 for a clean one each time.
    std::uint32_t sessionExpiry = 300;
    // Whether every written frame is answered, or only those whose message asked for it.
    bool allResults = false;
    // Between counters on P/G/stats; 0 for none.
    int statsSeconds = 60;
};

// 1 to 64 of A-Z a-z 0-9 _ -.
bool isGatewayName(std::string_view name);
// 1 to 256 printable ASCII characters.
bool isClientId(std::string_view id);
// A topic level sequence without wildcards, empty levels at either end, or NUL.
bool isTopicPrefix(std::string_view prefix);
// The gateway name the host's name gives: up to its first dot, other characters made "_".
std::string defaultGatewayName();

}  // namespace mqtt
