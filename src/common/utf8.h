#pragma once
// UTF-8 as the control protocol reads it: well-formed means RFC 3629 (no overlong forms, no
// surrogates, nothing above U+10FFFF).

#include <string>
#include <string_view>

#include "common/result.h"

namespace zelto {

// The bytes with every ill-formed stretch replaced by one U+FFFD, a stretch being the maximal
// subpart at that position (the Unicode Standard's recommended practice). Well-formed input comes
// back unchanged.
std::string decode_utf8_lossy(std::string_view bytes);

// Success, or "invalid utf-8 sequence of {n} bytes from index {i}" / "incomplete utf-8 byte
// sequence from index {i}" for the first offending byte.
ErrorText validate_utf8(std::string_view bytes);

// The text without Unicode White_Space at either end. Expects well-formed UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace zelto
