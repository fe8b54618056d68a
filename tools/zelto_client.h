#pragma once
// Client side of the service's control channel, the pattern every client follows: open the pipe
// (waiting while it is busy or between two instances), write one request, read until the service
// disconnects. One request per connection.

#include <chrono>
#include <string>
#include <string_view>

#include "common/result.h"

namespace zelto::client {

// The whole response ("OK|..." or "ERR|..."), or why the service could not be reached or the
// exchange broke off, all within `timeout`.
Result<std::string> send_request(std::string_view request,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

// "START|{base64 config path}|{base64 core path}" from two UTF-8 paths.
std::string start_request(std::string_view config_path, std::string_view core_path);

}  // namespace zelto::client
