#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace codec {

// A 128-bit UUID, compared by value. Peer identifiers and GATT UUIDs are both of this type.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Accepts exactly 8-4-4-4-12 hexadecimal digits separated by '-', letters in either case.
    static std::optional<Uuid> parse(std::string_view text);
    // A GATT UUID: as parse, or a 16- or 32-bit one ("180d", "0x180D", "0000180d"), which
    // becomes that number in the Bluetooth base UUID 0000xxxx-0000-1000-8000-00805F9B34FB.
    static std::optional<Uuid> parseGatt(std::string_view text);
    // Parses text known to be valid (the program's own constants); aborts on a typo.
    static Uuid of(std::string_view text);

    // 36 characters, letters in upper case.
    std::string text() const;
    void appendText(std::string& out) const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

// The value of one hexadecimal digit, letters in either case; -1 for any other character.
int hexDigitValue(char c);

struct UuidHash {
    std::size_t operator()(const Uuid& u) const noexcept;
};

}  // namespace codec
