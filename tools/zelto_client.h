#pragma once
// Client side of the service's control channel, the pattern every client follows: refuse a
// request the service would cut, open the pipe (waiting while it is busy), check that the service
// serves it, write one request, read until the service disconnects. One request per connection.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "ipc/pipe_name.h"

namespace zelto::client {

// The check to make after opening the pipe and before writing a byte to it: whether the process
// at the server end is the one the service control manager runs as Zelto_service. Without it any
// local process that created the pipe name first would receive the request and could answer it.
// `expected_server` replaces the service control manager's answer, for a caller that hosts the
// server itself. Nothing when the check passes, otherwise what was found.
ErrorText check_pipe_server(HANDLE pipe, std::optional<DWORD> expected_server = std::nullopt);

// The whole response ("OK|..." or "ERR|..."), or why the request was not sent (longer than
// MAX_REQUEST_BYTES, or the pipe not served as expected), the service could not be reached or the
// exchange broke off, all within `timeout`. The pipe's server is checked
// with check_pipe_server(pipe, expected_server) before the request is written.
Result<std::string> send_request(std::string_view request,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                 std::optional<DWORD> expected_server = std::nullopt);

// "START|{base64 config path}|{base64 core path}" from two UTF-8 paths.
std::string start_request(std::string_view config_path, std::string_view core_path);

}  // namespace zelto::client
