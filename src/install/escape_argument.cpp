#include "install/escape_argument.h"

#include "common/argv_quoting.h"

namespace zelto {

std::string escape_argument(std::string_view path) {
    const bool bare = !path.empty() && path.find_first_of("\" \t\n\v") == std::string_view::npos;
    return bare ? std::string(path) : quote_argument(path, true);
}

}  // namespace zelto
