#pragma once
// Console output as exact bytes: no line-end translation, whatever the standard handles are.

#include <string_view>

namespace zelto {

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

}  // namespace zelto
