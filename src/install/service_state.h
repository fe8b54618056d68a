#pragma once
// Service states as the status verb names them, and the causes of service-control failures.

#include <cstdint>
#include <optional>
#include <string_view>

namespace zelto {

// The cause after every failed service control manager call; the system error code is not shown.
inline constexpr std::string_view WINAPI_CALL_FAILED = "IO error in winapi call";
// The cause when a reported state lies outside 1 to 7.
inline constexpr std::string_view INVALID_SERVICE_STATUS = "invalid service status value";

// "Stopped", "Starting", ... for the states 1 to 7; empty for any other value.
std::optional<std::string_view> state_word(std::uint32_t state);

}  // namespace zelto
