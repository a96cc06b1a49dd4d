#include "codec/base64.hpp"

#include <gtest/gtest.h>

namespace protocol {
namespace {

codec::Bytes bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, EncodesWithPadding) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFF\xFF\xFE", "///+"},
    };
    for (auto [plain, encoded] : cases) {
        std::string out = "x";  // appends
        codec::appendBase64(out, bytesOf(plain));
        EXPECT_EQ(out, "x" + std::string(encoded)) << plain;
    }
}

TEST(Base64, DecodesStrictText) {
    const std::pair<std::string_view, std::optional<std::string_view>> cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"Zm9vYmE=", "fooba"},
        {"///+", "\xFF\xFF\xFE"},
        {"+/+/", "\xFB\xFF\xBF"},
        // Unused bits of the last character need not be zero: "Zh==" and "Zm9=" still mean one
        // thing each.
        {"Zh==", "f"},
        {"Zm9=", "fo"},
        // Unpadded.
        {"Zg", std::nullopt},
        {"Zm8", std::nullopt},
        {"Zm9vY", std::nullopt},
        // Padding out of place or too much of it.
        {"Z===", std::nullopt},
        {"====", std::nullopt},
        {"Zg=a", std::nullopt},
        {"Zg==Zg==", std::nullopt},
        {"=Zm9", std::nullopt},
        // Whitespace and line breaks anywhere.
        {"Zm9v ", std::nullopt},
        {" Zm9v", std::nullopt},
        {"Zm 9v", std::nullopt},
        {"Zm9v\n", std::nullopt},
        {"Zm9v\r\nYmFy", std::nullopt},
        // URL-safe alphabet and other bytes.
        {"-_-_", std::nullopt},
        {"Zm9.", std::nullopt},
        {std::string_view("Zm\0v", 4), std::nullopt},
        {"Zm\xC3\xA9", std::nullopt},
    };
    for (auto [text, expected] : cases) {
        const auto decoded = codec::decodeBase64(text);
        if (expected) {
            ASSERT_TRUE(decoded) << text;
            EXPECT_EQ(*decoded, bytesOf(*expected)) << text;
        } else {
            EXPECT_FALSE(decoded) << text;
        }
    }
}

TEST(Base64, RoundTripsEveryByteAtEveryLength) {
    codec::Bytes bytes;
    for (int i = 0; i < 300; ++i) {
        std::string text;
        codec::appendBase64(text, bytes);
        EXPECT_EQ(codec::decodeBase64(text), bytes) << i;
        bytes.push_back(static_cast<std::uint8_t>(i * 7));
    }
}

TEST(Base64, RejectsAByteOutsideTheAlphabetAnywhereInLongText) {
    codec::Bytes bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + i / 7);
    std::string text;
    codec::appendBase64(text, bytes);
    const std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        if (alphabet.find(static_cast<char>(c)) != std::string_view::npos) continue;
        for (std::size_t at = 0; at < text.size(); ++at) {
            if (c == '=' && at == text.size() - 1) continue;  // that is padding
            std::string bad = text;
            bad[at] = static_cast<char>(c);
            ASSERT_FALSE(codec::decodeBase64(bad)) << "byte " << c << " at " << at;
        }
    }
}

}  // namespace
}  // namespace protocol
