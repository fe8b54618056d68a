#pragma once
// Base64 with the standard alphabet and "=" padding (RFC 4648, section 4).

#include <string>
#include <string_view>

#include "common/result.h"

namespace zelto {

// Always padded to a multiple of 4 symbols.
std::string encode_base64(std::string_view bytes);

// Strict: only the canonical encoding of some bytes is accepted, so a decoded field re-encodes to
// itself. No white space, no URL-safe symbols, exact padding, zero leftover bits. Errors:
// "Invalid symbol {value}, offset {offset}.", "Invalid input length: {n}", "Invalid padding",
// "Invalid last symbol {value}, offset {offset}.".
Result<std::string> decode_base64(std::string_view field);

}  // namespace zelto
