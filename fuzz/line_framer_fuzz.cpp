// The line framer and UTF-8 repair, on input split into chunks of fuzzed sizes: the framer finds
// the same lines as a plain split of the whole input (up to the first over-long line, where the
// reader stops), each followed by its readable padding; each line repairs to valid UTF-8 that
// is never shorter, unchanged when it was valid already, and repairs to itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/line_framer.hpp"
#include "codec/utf8_repair.hpp"

namespace {

constexpr std::size_t padding = 64;

using Found = protocol::LineFramer::Found;
using Result = std::vector<std::pair<Found, std::string>>;

Result reference(std::string_view input, std::size_t max) {
    Result out;
    while (!input.empty()) {
        const std::size_t lf = input.find('\n');
        std::string_view line = input.substr(0, lf);
        input.remove_prefix(lf == std::string_view::npos ? input.size() : lf + 1);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > max) {
            out.emplace_back(Found::overLong, "");
            break;
        }
        out.emplace_back(Found::line, std::string(line));
    }
    return out;
}

// Unicode's table of well-formed byte sequences.
bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = [&](std::size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0x100u; };
        const unsigned c = b(0);
        auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return b(k) >= lo && b(k) <= hi; };
        std::size_t n = 0;
        if (c < 0x80) n = 1;
        else if (c >= 0xC2 && c <= 0xDF && cont(1)) n = 2;
        else if (c == 0xE0 && cont(1, 0xA0) && cont(2)) n = 3;
        else if (((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) && cont(1) && cont(2)) n = 3;
        else if (c == 0xED && cont(1, 0x80, 0x9F) && cont(2)) n = 3;
        else if (c == 0xF0 && cont(1, 0x90) && cont(2) && cont(3)) n = 4;
        else if (c >= 0xF1 && c <= 0xF3 && cont(1) && cont(2) && cont(3)) n = 4;
        else if (c == 0xF4 && cont(1, 0x80, 0x8F) && cont(2) && cont(3)) n = 4;
        else return false;
        i += n;
    }
    return true;
}

void checkRepair(std::string_view line) {
    std::string scratch, scratch2;
    const std::string_view repaired = codec::repairUtf8(line, scratch);
    if (!validUtf8(repaired) || repaired.size() < line.size()) std::abort();
    if (validUtf8(line) && repaired != line) std::abort();
    if (codec::repairUtf8(repaired, scratch2) != repaired) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t max = 1 + data[0] % 40;
    std::uint32_t chunking = data[1] * 2654435761u + 1;
    const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

    protocol::LineFramer framer(max, padding);
    Result found;
    std::vector<std::string> chunks;  // each kept alive, with its padding, until the framer is done
    auto take = [&](Found f, std::string_view line) {
        if (f == Found::line) {
            volatile char past = line.data()[line.size() + padding - 1];
            (void)past;
            checkRepair(line);
        }
        found.emplace_back(f, f == Found::line ? std::string(line) : "");
    };
    for (std::string_view rest = input; !rest.empty();) {
        chunking = chunking * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(rest.size(), 1 + (chunking >> 16) % (2 * max + 3));
        chunks.emplace_back(rest.substr(0, n));
        chunks.back().resize(n + padding);
        rest.remove_prefix(n);
        framer.feed(std::string_view(chunks.back()).substr(0, n));
        std::string_view line;
        for (Found f; (f = framer.next(line)) != Found::nothing;) take(f, line);
    }
    std::string_view line;
    if (const Found f = framer.finish(line); f != Found::nothing) take(f, line);

    for (std::size_t i = 0; i < found.size(); ++i)
        if (found[i].first == Found::overLong) found.resize(i + 1);
    if (found != reference(input, max)) std::abort();
    return 0;
}
