#pragma once
// Captures what code in this process writes to the standard output and error handles.

#include <windows.h>

#include <string>
#include <utility>

#include "common/unique_handle.h"

namespace zelto::test {

struct CapturedOutput {
    std::string out;
    std::string err;
};

namespace detail {

inline std::string drain(HANDLE pipe) {
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

}  // namespace detail

// Runs `action` with the standard output and error handles on pipes large enough for what the
// console verbs write, and returns the bytes; `action`'s result is stored in `result`.
template <typename Action, typename Value>
CapturedOutput capture_output(Action&& action, Value& result) {
    HANDLE raw[4] = {};
    ::CreatePipe(&raw[0], &raw[1], nullptr, 1 << 16);
    ::CreatePipe(&raw[2], &raw[3], nullptr, 1 << 16);
    KernelHandle out_read(raw[0]), out_write(raw[1]), err_read(raw[2]), err_write(raw[3]);
    const HANDLE old_out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE old_err = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, out_write.get());
    ::SetStdHandle(STD_ERROR_HANDLE, err_write.get());
    result = std::forward<Action>(action)();
    ::SetStdHandle(STD_OUTPUT_HANDLE, old_out);
    ::SetStdHandle(STD_ERROR_HANDLE, old_err);
    out_write.reset();
    err_write.reset();
    return {detail::drain(out_read.get()), detail::drain(err_read.get())};
}

}  // namespace zelto::test
