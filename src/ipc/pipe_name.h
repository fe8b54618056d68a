#pragma once

#include <cstddef>
#include <string_view>

namespace zelto {

// The control channel's one pipe, for the service and its clients.
inline constexpr std::wstring_view PIPE_NAME = L"\\\\.\\pipe\\Zelto_service";

// The most the service reads of one request (one read); clients refuse to send more.
inline constexpr std::size_t MAX_REQUEST_BYTES = 4096;

}  // namespace zelto
