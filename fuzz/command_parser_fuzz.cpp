// The command parser, on a line as the reader hands it over (repaired to valid UTF-8): a line it
// accepts, written again in the plain form, parses to the same command; whitespace around the
// JSON text changes nothing; an accepted send always carries at least one byte.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <simdjson.h>
#include <string>
#include <string_view>
#include <variant>

#include "codec/base64.hpp"
#include "protocol/command_parser.hpp"
#include "codec/utf8_repair.hpp"

namespace {

constexpr std::size_t maxLine = 24576;

std::optional<protocol::Command> parse(protocol::CommandParser& parser, std::string_view text) {
    std::string padded(text);
    padded.resize(text.size() + simdjson::SIMDJSON_PADDING);
    return parser.parse(simdjson::padded_string_view(padded.data(), text.size(), padded.size()));
}

std::string plainForm(const protocol::Command& command) {
    const auto* send = std::get_if<protocol::SendCommand>(&command);
    if (!send) return R"({"command":"stop"})";
    std::string line = R"({"command":"send","id":")" + send->id.text() + R"(","data":")";
    codec::appendBase64(line, send->payload);
    return line + "\"}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static protocol::CommandParser parser(maxLine);
    std::string scratch;
    const std::string_view line = codec::repairUtf8({reinterpret_cast<const char*>(data), size}, scratch);
    const std::string copy(line);  // the parser's buffers are reused by the next parse
    const std::optional<protocol::Command> command = parse(parser, copy);
    if (command != parse(parser, " \t" + copy + "\r\n ")) std::abort();
    if (!command) return 0;
    if (const auto* send = std::get_if<protocol::SendCommand>(&*command); send && send->payload.empty()) std::abort();
    if (parse(parser, plainForm(*command)) != command) std::abort();
    return 0;
}
