// Decoding with replacement always yields well-formed UTF-8 and returns well-formed input, and
// only that, unchanged; validation agrees with an independent check; trimming keeps the text
// well-formed and a second trim changes nothing.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/utf8.h"
#include "utf8_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool well_formed = zelto::fuzz::is_well_formed_utf8(bytes);
    if (zelto::validate_utf8(bytes).has_value() == well_formed) {
        std::abort();
    }
    const std::string text = zelto::decode_utf8_lossy(bytes);
    if (!zelto::fuzz::is_well_formed_utf8(text) || (text == bytes) != well_formed) {
        std::abort();
    }
    const std::string_view trimmed = zelto::trim_white_space(text);
    if (!zelto::fuzz::is_well_formed_utf8(trimmed) || zelto::trim_white_space(trimmed) != trimmed) {
        std::abort();
    }
    return 0;
}
