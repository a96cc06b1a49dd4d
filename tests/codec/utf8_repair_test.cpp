#include "codec/utf8_repair.hpp"

#include <gtest/gtest.h>

namespace protocol {
namespace {

constexpr std::string_view fffd = "\xEF\xBF\xBD";

std::string times(std::size_t n, std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += text;
    return out;
}

TEST(Utf8Repair, ReplacesEachMaximalSubpart) {
    const std::pair<std::string_view, std::string> cases[] = {
        {"\xE0\x80", times(2, fffd)},              // overlong lead: no valid second byte
        {"\xF0\x9F\x98", times(1, fffd)},          // truncated 4-byte sequence
        {"\xED\xA0\x80", times(3, fffd)},          // surrogate
        {"\xC0\xAF", times(2, fffd)},              // never-valid lead
        {"\xC1\xBF", times(2, fffd)},
        {"\xF4\x90\x80\x80", times(4, fffd)},      // above U+10FFFF
        {"\xF5\x80", times(2, fffd)},
        {"\xFF", times(1, fffd)},
        {"\x80", times(1, fffd)},                  // lone continuation
        {"\x80\x80\x80", times(3, fffd)},
        {"\xE2\x82", times(1, fffd)},              // truncated 3-byte sequence
        {"\xE2\x82" "A", std::string(fffd) + "A"}, // interrupted by ASCII, which is kept
        {"\xE2\x82\xE2\x82\xAC", std::string(fffd) + "\xE2\x82\xAC"},
        {"\xF0\x9F\x98" "\xF0\x9F\x98\x80", std::string(fffd) + "\xF0\x9F\x98\x80"},
        {"a\xFF" "b\xC3", "a" + std::string(fffd) + "b" + std::string(fffd)},
        {"\xC3\xA9\xFE\xC3\xA9", "\xC3\xA9" + std::string(fffd) + "\xC3\xA9"},
    };
    for (const auto& [text, expected] : cases) {
        std::string scratch;
        EXPECT_EQ(codec::repairUtf8(text, scratch), expected) << ::testing::PrintToString(text);
    }
}

TEST(Utf8Repair, LeavesWellFormedTextInPlace) {
    const std::string_view cases[] = {
        "",
        "plain ASCII {\"command\":\"stop\"}",
        std::string_view("nul \0 inside", 12),
        "\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF",
    };
    for (auto text : cases) {
        std::string scratch;
        const auto repaired = codec::repairUtf8(text, scratch);
        EXPECT_EQ(repaired.data(), text.data());
        EXPECT_EQ(repaired.size(), text.size());
    }
}

TEST(Utf8Repair, TriplesAByteAtMost) {
    std::string scratch;
    EXPECT_EQ(codec::repairUtf8(std::string(8192, '\xFF'), scratch).size(), 24576u);
}

}  // namespace
}  // namespace protocol
