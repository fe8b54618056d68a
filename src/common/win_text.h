#pragma once
// Text at the Win32 boundary: UTF-8 inside the service, UTF-16 for the system.

#include <windows.h>

#include <string>
#include <string_view>

namespace zelto {

// Well-formed UTF-8 in, UTF-16 out. Ill-formed input is replaced, never rejected: callers hand
// over text that is already known to be well-formed.
std::wstring to_wide(std::string_view utf8);

// UTF-16 in, UTF-8 out; an unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::wstring_view wide);

// "{system message text} (os error {code})", the message from the system table, language 0,
// with trailing white space removed.
std::string system_error_text(DWORD code);
// The same with the message's insert "%1" filled with `insert`, for the messages that name the
// file they are about ("%1 is not a valid Win32 application.").
std::string system_error_text(DWORD code, std::string_view insert);

}  // namespace zelto
