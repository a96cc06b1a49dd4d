#include "mqtt/settings.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <unistd.h>

#include "codec/uuid.hpp"

namespace mqtt {

namespace {

bool isNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// %XX escapes decoded; false for a broken one.
bool percentDecode(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = codec::hexDigitValue(text[i + 1]);
        const int low = codec::hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

}  // namespace

std::optional<BrokerUrl> parseBrokerUrl(std::string_view text, std::string& error) {
    BrokerUrl url;
    std::string_view rest = text;
    if (rest.starts_with("mqtt://")) {
        rest.remove_prefix(7);
    } else if (rest.starts_with("mqtts://")) {
        rest.remove_prefix(8);
        url.tls = true;
        url.port = 8883;
    } else {
        error = "the scheme must be mqtt:// or mqtts://";
        return std::nullopt;
    }
    if (rest.ends_with('/')) rest.remove_suffix(1);
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        error = "a broker URL has no path, query or fragment";
        return std::nullopt;
    }
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        const std::string_view userInfo = rest.substr(0, at);
        rest.remove_prefix(at + 1);
        const auto colon = userInfo.find(':');
        std::string decoded;
        if (!percentDecode(userInfo.substr(0, colon), decoded) || decoded.empty()) {
            error = "bad user name";
            return std::nullopt;
        }
        url.user = decoded;
        if (colon != std::string_view::npos) {
            if (!percentDecode(userInfo.substr(colon + 1), decoded)) {
                error = "bad password";
                return std::nullopt;
            }
            url.password = decoded;
        }
    }
    // The host, then `rest` is empty or ":" and the port.
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) {
            error = "an IPv6 address needs its closing ']'";
            return std::nullopt;
        }
        url.host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
    } else {
        const auto colon = std::min(rest.find(':'), rest.size());
        url.host = rest.substr(0, colon);
        rest.remove_prefix(colon);
    }
    for (const char c : url.host) {
        if (!isNameCharacter(c) && c != '.' && c != ':') {
            error = "bad host";
            return std::nullopt;
        }
    }
    if (url.host.empty()) {
        error = "no host";
        return std::nullopt;
    }
    if (!rest.empty()) {
        const std::string_view port = rest.substr(1);
        int value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (!rest.starts_with(':') || port.empty() || ec != std::errc() || end != port.data() + port.size() ||
            value < 1 || value > 65535) {
            error = "bad port";
            return std::nullopt;
        }
        url.port = value;
    }
    return url;
}

bool isGatewayName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name)
        if (!isNameCharacter(c)) return false;
    return true;
}

bool isClientId(std::string_view id) {
    if (id.empty() || id.size() > 256) return false;
    for (const char c : id)
        if (c <= ' ' || c > '~') return false;
    return true;
}

bool isTopicPrefix(std::string_view prefix) {
    if (prefix.empty() || prefix.starts_with('/') || prefix.ends_with('/') || prefix.size() > 1024) return false;
    return prefix.find_first_of(std::string_view("+#\0", 3)) == std::string_view::npos;
}

std::string defaultGatewayName() {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "gateway";
    std::string name(host, std::string_view(host).find('.') == std::string_view::npos
                               ? std::string_view(host).size()
                               : std::string_view(host).find('.'));
    for (char& c : name)
        if (!isNameCharacter(c)) c = '_';
    if (name.size() > 64) name.resize(64);
    return name.empty() ? "gateway" : name;
}

}  // namespace mqtt
