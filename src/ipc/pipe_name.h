#pragma once

#include <string_view>

namespace zelto {

// The control channel's one pipe, for the service and its clients.
inline constexpr std::wstring_view PIPE_NAME = L"\\\\.\\pipe\\Zelto_service";

}  // namespace zelto
