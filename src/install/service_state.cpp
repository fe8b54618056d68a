#include "install/service_state.h"

#include <array>

namespace zelto {

std::optional<std::string_view> state_word(std::uint32_t state) {
    static constexpr std::array<std::string_view, 7> WORDS = {
        "Stopped", "Starting", "Stopping", "Running", "Resuming", "Pausing", "Paused",
    };
    if (state < 1 || state > WORDS.size()) {
        return std::nullopt;
    }
    return WORDS[state - 1];
}

}  // namespace zelto
