#include <algorithm>
#include <limits>
#include "app/options.hpp"

#include <cctype>
#include <charconv>
#include <vector>

#include "protocol/version.hpp"

namespace app {

namespace {

constexpr int defaultListSeconds = 5;

// Six two-digit hex numbers joined by ":"; letters in either case.
bool isAddress(std::string_view name) {
    if (name.size() != 17) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(c)) return false;
    }
    return true;
}

// A decimal integer from `min` to `max` ("-" allowed, "+" and spaces not).
std::optional<int> integerIn(std::string_view text, int min, int max) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) return std::nullopt;
    return value;
}

// "hci" and a number, or an address.
bool isAdapterName(std::string_view name) {
    const auto allOf = [](std::string_view text, auto test) {
        for (char c : text)
            if (!test(static_cast<unsigned char>(c))) return false;
        return true;
    };
    std::string prefix(name.substr(0, 3));
    for (char& c : prefix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (prefix == "hci") {
        const std::string_view number = name.substr(3);
        return !number.empty() && number.size() <= 3 && allOf(number, [](unsigned char c) { return std::isdigit(c); });
    }
    return isAddress(name);
}

class Parser {
public:
    Parser(const Program& program, std::span<const char* const> args) : program_(program), args_(args) {}

    ParsedOptions run() {
        std::vector<std::string_view> operands;
        bool optionsEnded = false;
        for (std::size_t i = 0; i < args_.size(); ++i) {
            const std::string_view arg = args_[i];
            if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
                operands.push_back(arg);
            } else if (arg == "--") {
                optionsEnded = true;
            } else if (!option(arg, i)) {
                return fail(error_);
            }
        }
        if (operands.size() > (program_.takesWorld ? 1u : 0u))
            return fail("unexpected argument '" + std::string(operands[program_.takesWorld ? 1 : 0]) + "'");
        if (!operands.empty()) options_.world = operands.front();
        if (options_.recordLengthsOnly && !options_.record) return fail("option --record-lengths-only needs --record");
        if (options_.replay && options_.world) return fail("a world file and --replay cannot both be given");
        if (options_.printWorld && !options_.replay) return fail("option --print-world needs --replay");
        if (options_.profile.inbox == options_.profile.outbox) return fail("--inbox and --outbox must differ");
        // --list writes its own lines and exits: it has no protocol and no front.
        for (const char* other : {"--mqtt", "--protocol"})
            if (options_.listSeconds && given(other))
                return fail("option '--list' cannot be used with '" + std::string(other) + "'");
        // The client answers pairings in protocol 2's events and commands, and nowhere else.
        if (options_.pairing && (options_.protocol != ::protocol::Protocol::v2 || mqttUrl_ || options_.listSeconds))
            return fail("option '--pairing' needs '--protocol 2' (not with --mqtt or --list)");
        if (mqttUrl_) {
            mqtt_.broker = *mqttUrl_;
            if (mqtt_.passwordFile && !mqtt_.broker.user) return fail("--mqtt-password-file needs a user in the URL");
            if (mqtt_.certFile.has_value() != mqtt_.keyFile.has_value())
                return fail("--mqtt-cert and --mqtt-key go together");
            if (mqtt_.certFile && !mqtt_.broker.tls) return fail("--mqtt-cert needs an mqtts:// URL");
            options_.mqtt = mqtt_;
        } else if (mqttDetails_) {
            return fail("options --mqtt-*, --gateway and --topic-prefix need --mqtt");
        }
        return {options_, {}};
    }

private:
    // Takes the option at args_[i] and its value, if it has one: the next argument, or the text
    // after "=" in "--name=value". False when it is wrong.
    bool option(std::string_view arg, std::size_t& i) {
        inlineValue_.reset();
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            inlineValue_ = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        if (arg == "-h" || arg == "--help") return flag("--help", [&] { options_.action = Options::Action::help; });
        if (arg == "--version") return flag(arg, [&] { options_.action = Options::Action::version; });
        if (arg == "-v" || arg == "--verbose") return flag("--verbose", [&] { options_.verbose = true; });
        if (arg == "--service") return uuid(arg, i, options_.profile.service);
        if (arg == "--inbox") return uuid(arg, i, options_.profile.inbox);
        if (arg == "--outbox") return uuid(arg, i, options_.profile.outbox);
        if (arg == "--protocol") {
            const auto text = value(arg, i);
            if (!text) return false;
            if (*text != "1" && *text != "2") return failed(arg, *text, "1 or 2");
            options_.protocol = *text == "1" ? ::protocol::Protocol::v1 : ::protocol::Protocol::v2;
            return true;
        }
        if (arg == "--adapter" && program_.takesAdapter) {
            const auto text = value(arg, i);
            if (!text) return false;
            if (!isAdapterName(*text)) return failed(arg, *text, "hciN or an address like 00:11:22:33:44:55");
            options_.adapter = std::string(*text);
            return true;
        }
        if (arg == "--peer") {
            const auto text = next(arg, i);
            if (!text) return false;
            if (const auto id = codec::Uuid::parse(*text)) {
                options_.filter.ids.push_back(*id);
                return true;
            }
            if (!program_.showsAddresses)
                return failed(arg, *text, "a peer id like a3e5b7c9-5d1f-4e2a-9b6c-000000000001 (this system does "
                                          "not show device addresses)");
            if (!isAddress(*text)) return failed(arg, *text, "a peer id or an address like 00:11:22:33:44:55");
            options_.filter.addresses.emplace_back(*text);
            return true;
        }
        if (arg == "--name") {
            const auto text = next(arg, i);
            if (!text) return false;
            // An empty prefix would let every peripheral through: surely a mistake (an unset variable).
            if (text->empty()) return failed(arg, *text, "a name prefix of at least one byte");
            options_.filter.namePrefixes.emplace_back(*text);
            return true;
        }
        if (arg == "--min-rssi") {
            const auto text = value(arg, i);
            if (!text) return false;
            options_.filter.minRssi = integerIn(*text, -127, 20);
            if (!options_.filter.minRssi) return failed(arg, *text, "an integer from -127 to 20");
            return true;
        }
        if (arg == "--list") {
            if (!once(arg)) return false;
            // Its value is optional: after "=", or the next argument if it is a number ("-1" is a
            // bad number, not an option).
            std::optional<std::string_view> text = inlineValue_;
            if (!text && i + 1 < args_.size()) {
                const std::string_view following = args_[i + 1];
                const std::string_view digits = following.starts_with('-') ? following.substr(1) : following;
                if (!digits.empty() && std::isdigit(static_cast<unsigned char>(digits[0]))) text = args_[++i];
            }
            options_.listSeconds = text ? integerIn(*text, 1, 3600) : defaultListSeconds;
            if (!options_.listSeconds) return failed(arg, *text, "a number of seconds from 1 to 3600");
            return true;
        }
        if (arg == "--record") {
            const auto text = value(arg, i);
            if (!text) return false;
            if (text->empty() || *text == "-")
                return failed(arg, *text, "a file name (standard output carries the events)");
            options_.record = std::string(*text);
            return true;
        }
        if (arg == "--record-lengths-only") return flag(arg, [&] { options_.recordLengthsOnly = true; });
        if (arg == "--replay" && program_.replays) {
            const auto text = value(arg, i);
            if (!text) return false;
            options_.replay = std::string(*text);
            return true;
        }
        if (arg == "--pairing" && program_.pairs) {
            const auto text = value(arg, i);
            if (!text) return false;
            if (*text != "display-only" && *text != "keyboard-only" && *text != "keyboard-display")
                return failed(arg, *text, "display-only, keyboard-only or keyboard-display");
            options_.pairing = std::string(*text);
            return true;
        }
        if (arg == "--print-world" && program_.replays) return flag(arg, [&] { options_.printWorld = true; });
        if (arg.starts_with("--mqtt") || arg == "--gateway" || arg == "--topic-prefix") return mqttOption(arg, i);
        error_ = "unknown option '" + std::string(arg) + "'";
        return false;
    }

    bool mqttOption(std::string_view arg, std::size_t& i) {
        static constexpr std::string_view known[] = {
            "--mqtt",      "--mqtt-ca",        "--mqtt-qos",     "--mqtt-password-file", "--mqtt-session-expiry",
            "--mqtt-cert", "--mqtt-key",       "--mqtt-results", "--mqtt-client-id",     "--mqtt-stats",
            "--gateway",   "--topic-prefix"};
        if (std::find(std::begin(known), std::end(known), arg) == std::end(known)) {
            error_ = "unknown option '" + std::string(arg) + "'";
            return false;
        }
        const auto text = value(arg, i);
        if (!text) return false;
        if (arg == "--mqtt") {
            // The URL may hold a password: the line says what is wrong, not what was given.
            std::string why;
            mqttUrl_ = mqtt::parseBrokerUrl(*text, why);
            if (!mqttUrl_) error_ = "bad URL for option '--mqtt': " + why;
            return mqttUrl_.has_value();
        }
        mqttDetails_ = true;
        if (arg == "--mqtt-ca") {
            mqtt_.caFile = std::string(*text);
        } else if (arg == "--mqtt-password-file") {
            mqtt_.passwordFile = std::string(*text);
        } else if (arg == "--mqtt-cert") {
            mqtt_.certFile = std::string(*text);
        } else if (arg == "--mqtt-key") {
            mqtt_.keyFile = std::string(*text);
        } else if (arg == "--mqtt-session-expiry") {
            const auto seconds = integerIn(*text, 0, std::numeric_limits<int>::max());
            if (!seconds) return failed(arg, *text, "a number of seconds, 0 for a clean session");
            mqtt_.sessionExpiry = static_cast<std::uint32_t>(*seconds);
        } else if (arg == "--mqtt-stats") {
            const auto seconds = integerIn(*text, 0, 86400);
            if (!seconds) return failed(arg, *text, "a number of seconds from 0 (off) to 86400");
            mqtt_.statsSeconds = *seconds;
        } else if (arg == "--mqtt-results") {
            if (*text != "requested" && *text != "all") return failed(arg, *text, "requested or all");
            mqtt_.allResults = *text == "all";
        } else if (arg == "--mqtt-client-id") {
            if (!mqtt::isClientId(*text)) return failed(arg, *text, "1 to 256 printable ASCII characters");
            mqtt_.clientId = std::string(*text);
        } else if (arg == "--mqtt-qos") {
            if (*text != "0" && *text != "1") return failed(arg, *text, "0 or 1");
            mqtt_.rxQos = *text == "0" ? 0 : 1;
        } else if (arg == "--gateway") {
            if (!mqtt::isGatewayName(*text)) return failed(arg, *text, "1 to 64 of A-Z a-z 0-9 _ -");
            mqtt_.gateway = std::string(*text);
        } else {
            if (!mqtt::isTopicPrefix(*text)) return failed(arg, *text, "topic levels without + # or empty ends");
            mqtt_.topicPrefix = std::string(*text);
        }
        return true;
    }

    template <class Set>
    bool flag(std::string_view name, Set set) {
        if (!once(name)) return false;
        if (inlineValue_) {
            error_ = "option '" + std::string(name) + "' takes no value";
            return false;
        }
        set();
        return true;
    }

    bool uuid(std::string_view name, std::size_t& i, codec::Uuid& out) {
        const auto text = value(name, i);
        if (!text) return false;
        const auto parsed = codec::Uuid::parseGatt(*text);
        if (!parsed) return failed(name, *text, "a UUID like a3e5b7c9-5d1f-4e2a-9b6c-000000000001 or 180d");
        out = *parsed;
        return true;
    }

    // The value after the option, which must not have been given before.
    std::optional<std::string_view> value(std::string_view name, std::size_t& i) {
        if (!once(name)) return std::nullopt;
        return next(name, i);
    }

    // The value of an option that may be repeated: after "=", or the next argument.
    std::optional<std::string_view> next(std::string_view name, std::size_t& i) {
        if (inlineValue_) return inlineValue_;
        if (i + 1 >= args_.size()) {
            error_ = "option '" + std::string(name) + "' needs a value";
            return std::nullopt;
        }
        return std::string_view(args_[++i]);
    }

    bool given(std::string_view name) const { return seen_.find(std::string(name) + ' ') != std::string::npos; }

    bool once(std::string_view name) {
        if (given(name)) {
            error_ = "option '" + std::string(name) + "' given twice";
            return false;
        }
        seen_ += std::string(name) + ' ';
        return true;
    }

    bool failed(std::string_view name, std::string_view text, std::string_view expected) {
        error_ = "bad value '" + std::string(text) + "' for option '" + std::string(name) + "': expected " +
                 std::string(expected);
        return false;
    }

    ParsedOptions fail(std::string message) { return {std::nullopt, std::move(message)}; }

    const Program& program_;
    const std::span<const char* const> args_;
    Options options_;
    std::string error_;
    std::string seen_;  // the options taken so far, each followed by a space
    std::optional<std::string_view> inlineValue_;  // the value of the option being taken, from "--name=value"
    std::optional<mqtt::BrokerUrl> mqttUrl_;
    mqtt::Settings mqtt_;
    bool mqttDetails_ = false;  // an --mqtt-* option, --gateway or --topic-prefix seen
};

}  // namespace

ParsedOptions parseOptions(const Program& program, std::span<const char* const> args) {
    return Parser(program, args).run();
}

std::string usage(const Program& program) {
    std::string text = "usage: " + std::string(program.name) + " [OPTIONS]" +
                       (program.takesWorld ? " [--] [WORLD.json]\n" : "\n");
    text += "A JSON-lines bridge to BLE peripherals: commands on standard input, events on standard output.\n";
    if (program.takesWorld)
        text += "Runs on the simulated world in WORLD.json, or on the built-in demo world without one.\n";
    text += "\n"
            "  --protocol 1|2    the protocol to speak (default 1)\n"
            "  --service UUID    the service to scan for (default a3e5b7c9-5d1f-4e2a-9b6c-000000000001);\n"
            "                    a 16- or 32-bit UUID such as 180d stands for 0000180d-0000-1000-8000-00805f9b34fb\n"
            "  --inbox UUID      the characteristic frames are written to (default ...000000000002)\n"
            "  --outbox UUID     the characteristic whose notifications are relayed (default ...000000000003)\n";
    if (program.takesAdapter)
        text += "  --adapter NAME    the adapter to use: hciN or its address (default: the first powered one)\n";
    text += std::string("  --peer ID         only the peer with this id") +
            (program.showsAddresses ? " or device address" : "") +
            " (repeatable)\n"
            "  --name PREFIX     only peripherals whose name starts with PREFIX (repeatable)\n"
            "  --min-rssi DBM    only peripherals reported at DBM or stronger (-127 to 20)\n"
            "  --list [SECONDS]  list the peripherals around for SECONDS (default 5), then exit\n";
    text += "  --mqtt URL        connect to an MQTT broker instead of using standard input and output:\n"
            "                    mqtt://[user[:password]@]host[:port] or mqtts://...\n"
            "  --mqtt-password-file FILE\n"
            "                    the broker password: the file's first line (not readable by others);\n"
            "                    else the URL's (which every user can see), else GATTRELAY_MQTT_PASSWORD\n"
            "  --mqtt-ca FILE    the CA certificate for mqtts:// (default: the system's store)\n"
            "  --gateway NAME    the gateway's name in topics (default: the host name)\n"
            "  --topic-prefix P  the topics' first levels (default gattrelay)\n"
            "  --mqtt-qos 0|1    the QoS of frames from peers (default 1)\n"
            "  --mqtt-session-expiry SECONDS\n"
            "                    how long the broker keeps the session, and the tx frames for it, while\n"
            "                    the gateway is away (default 300; 0: a clean session at every connection)\n"
            "  --mqtt-results requested|all\n"
            "                    publish the outcome of every tx frame, or only of those refused or\n"
            "                    failed and of those with a response topic or correlation data\n"
            "                    (default requested)\n"
            "  --mqtt-cert FILE, --mqtt-key FILE\n"
            "                    a client certificate and its key for mqtts://\n"
            "  --mqtt-client-id ID\n"
            "                    the MQTT client id (default P/G: the prefix and the gateway)\n"
            "  --mqtt-stats SECONDS\n"
            "                    publish counters on P/G/stats every SECONDS (default 60; 0: never)\n";
    text += "  --record FILE     append what the BLE stack tells the bridge, and when, to FILE\n"
            "                    (JSON lines, frames' bytes included), to replay it later\n"
            "  --record-lengths-only\n"
            "                    record frames' lengths only: their bytes become zeros\n";
    if (program.replays)
        text += "  --replay FILE     run on the simulated stack built from the recording FILE\n"
                "  --print-world     with --replay: print the recording as a world file and exit\n";
    if (program.pairs)
        text += "  --pairing CAPABILITY\n"
                "                    answer pairings as bluetoothd's agent, the gateway having CAPABILITY:\n"
                "                    display-only, keyboard-only or keyboard-display; each request is a\n"
                "                    \"pairing\" event, answered with a \"pair\" command (needs --protocol 2)\n";
    text += "  -v, --verbose     explain silent outcomes on standard error\n"
            "  -h, --help        show this text and exit\n"
            "  --version         show the version and exit\n";
    text += "\nAn option's value may also follow \"=\" (--protocol=2).";
    if (program.takesWorld) text += " Options may come before or after the world file; \"--\" ends them.";
    return text + "\n";
}

std::string versionLine(const Program& program) {
    return std::string(program.name) + " " + std::string(protocol::programVersion) + " (protocols 1 2; backend " +
           std::string(program.backend) + ")";
}

}  // namespace app
