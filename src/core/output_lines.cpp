#include "core/output_lines.h"

#include <vector>

#include "common/utf8.h"

namespace zelto {

void LineSplitter::feed(std::string_view bytes, const LineSink& emit) {
    for (;;) {
        const std::size_t line_feed = bytes.find('\n');
        if (line_feed == std::string_view::npos) {
            line_.append(bytes);
            return;
        }
        line_.append(bytes.substr(0, line_feed + 1));
        bytes.remove_prefix(line_feed + 1);
        finish(emit);
    }
}

bool LineSplitter::end_of_stream(const LineSink& emit) {
    if (line_.empty()) {
        return false;
    }
    finish(emit);
    return true;
}

void LineSplitter::finish(const LineSink& emit) {
    // Judged whole, before anything is removed; the line is consumed either way.
    const bool well_formed = !validate_utf8(line_);
    if (well_formed) {
        std::string_view line = line_;
        if (!line.empty() && line.back() == '\n') {
            line.remove_suffix(1);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
        }
        emit(line);
    }
    line_.clear();
}

void forward_lines(const StreamReader& read, const LineSink& emit) {
    std::vector<char> buffer(FORWARD_BUFFER_SIZE);
    LineSplitter splitter;
    int failures_in_a_row = 0;
    for (;;) {
        const ReadOutcome outcome = read(buffer.data(), buffer.size());
        if (outcome.kind == ReadOutcome::Kind::READ_FAILED) {
            splitter.drop_partial();
            if (++failures_in_a_row == MAX_READ_ERRORS_IN_A_ROW) {
                return;
            }
            continue;
        }
        failures_in_a_row = 0;
        if (outcome.kind == ReadOutcome::Kind::END_OF_STREAM || outcome.size == 0) {
            if (!splitter.end_of_stream(emit)) {
                return;
            }
            continue;
        }
        splitter.feed(std::string_view(buffer.data(), outcome.size), emit);
    }
}

}  // namespace zelto
