// UUID text: accepted exactly when it is 8-4-4-4-12 hexadecimal digits with "-" between, and
// written back as the same text in upper case, which parses to the same UUID.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/uuid.hpp"

namespace {

bool wellFormed(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto uuid = codec::Uuid::parse(text);
    if (uuid.has_value() != wellFormed(text)) std::abort();
    if (!uuid) return 0;
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (uuid->text() != upper) std::abort();
    if (codec::Uuid::parse(uuid->text()) != uuid) std::abort();
    return 0;
}
