#include "protocol/line_framer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace protocol {
namespace {

constexpr std::string_view overLong = "<over-long>";

// What the framer yields for `input` fed in pieces of `piece` bytes, then the end of input.
std::vector<std::string> frame(std::string_view input, std::size_t maxLineBytes, std::size_t piece) {
    LineFramer framer(maxLineBytes, 0);
    std::vector<std::string> out;
    auto take = [&](LineFramer::Found found, std::string_view line) {
        out.emplace_back(found == LineFramer::Found::overLong ? overLong : line);
    };
    std::string_view line;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        framer.feed(input.substr(at, piece));
        for (LineFramer::Found found; (found = framer.next(line)) != LineFramer::Found::nothing;) take(found, line);
    }
    if (auto found = framer.finish(line); found != LineFramer::Found::nothing) take(found, line);
    return out;
}

struct Case {
    std::string_view input;
    std::vector<std::string> lines;
};

// Lines of at most 5 bytes; every case gives the same lines however the input is split.
TEST(LineFramer, SplitsLinesAtAnyChunking) {
    const Case cases[] = {
        {"", {}},
        {"ab\ncd\n", {"ab", "cd"}},
        {"\n\n", {"", ""}},
        {"ab\r\ncd\r\n", {"ab", "cd"}},
        {"a\rb\n", {"a\rb"}},
        {"ab\r\r\n", {"ab\r"}},
        {"\r\n", {""}},
        // The end of input ends the last line; its CR has no LF after it, so it stays.
        {"ab\ncd", {"ab", "cd"}},
        {"ab\r", {"ab\r"}},
        // The limit counts the line without its terminator.
        {"12345\n", {"12345"}},
        {"12345\r\n", {"12345"}},
        {"12345", {"12345"}},
        {"123456\n", {std::string(overLong)}},
        {"1234\r6\n", {std::string(overLong)}},
        {"12345\r", {std::string(overLong)}},
        {"123456", {std::string(overLong)}},
        {"12345\rx\n", {std::string(overLong)}},
        // Over-long is reported at the line's end and framing goes on after it.
        {"a\n1234567890123\nb\n", {"a", std::string(overLong), "b"}},
        {"1234567890123\r\nb", {std::string(overLong), "b"}},
    };
    for (const auto& c : cases) {
        for (std::size_t piece = 1; piece <= c.input.size() + 1; ++piece) {
            EXPECT_EQ(frame(c.input, 5, piece), c.lines) << ::testing::PrintToString(c.input) << " in pieces of " << piece;
        }
    }
}

// The framing rules applied to the whole input at once.
std::vector<std::string> frameWhole(std::string_view input, std::size_t maxLineBytes) {
    std::vector<std::string> out;
    while (!input.empty()) {
        const auto end = input.find('\n');
        std::string_view line = input.substr(0, end);
        if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        out.emplace_back(line.size() > maxLineBytes ? overLong : line);
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    }
    return out;
}

TEST(LineFramer, MatchesTheRulesOnRandomInput) {
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string input(random() % 40, 'a');
        for (char& c : input) c = "ab\r\n"[random() % 4];
        const std::size_t limit = random() % 6;
        const std::size_t piece = 1 + random() % 8;
        EXPECT_EQ(frame(input, limit, piece), frameWhole(input, limit))
            << ::testing::PrintToString(input) << " limit " << limit << " pieces of " << piece;
    }
}

TEST(LineFramer, HoldsLinesUpToTheLimitAcrossChunks) {
    const std::string full(24576, 'x');
    EXPECT_EQ(frame(full + "\r\n" + full + "\n", 24576, 1000), (std::vector<std::string>{full, full}));
    EXPECT_EQ(frame(full + "y\r\nz\n", 24576, 1000), (std::vector<std::string>{std::string(overLong), "z"}));
    EXPECT_EQ(frame(full + "y", 24576, 65536), (std::vector<std::string>{std::string(overLong)}));
}

TEST(LineFramer, SkipsAVeryLongLineToItsEnd) {
    LineFramer framer(10, 0);
    const std::string chunk(65536, 'x');
    std::string_view line;
    for (int i = 0; i < 100; ++i) {
        framer.feed(chunk);
        ASSERT_EQ(framer.next(line), LineFramer::Found::nothing);
    }
    framer.feed("xx\nok\n");
    EXPECT_EQ(framer.next(line), LineFramer::Found::overLong);
    ASSERT_EQ(framer.next(line), LineFramer::Found::line);
    EXPECT_EQ(line, "ok");
    EXPECT_EQ(framer.next(line), LineFramer::Found::nothing);
    EXPECT_EQ(framer.finish(line), LineFramer::Found::nothing);
}

}  // namespace
}  // namespace protocol
