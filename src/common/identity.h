#pragma once
// The service's fixed identity, shared by the entry, the installer and the service runtime.

#include <string_view>

namespace zelto {

inline constexpr std::string_view SERVICE_NAME = "Zelto_service";
inline constexpr std::string_view SERVICE_DISPLAY_NAME = "Zelto Service";
inline constexpr std::string_view SERVICE_DESCRIPTION = "Zelto TUN mode helper service";
// Shown in the usage text whatever the executable file is actually called.
inline constexpr std::string_view PROGRAM_NAME = "Zelto-service";

}  // namespace zelto
