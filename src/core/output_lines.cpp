#include "core/output_lines.h"

#include <vector>

#include "common/utf8.h"

namespace zelto {

namespace {

bool is_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Where the first piece of `text` (longer than MAX_LINE_PIECE) ends: at MAX_LINE_PIECE, or at the
// lead byte of a character that would straddle it. Continuation bytes with no lead byte in reach
// are ill-formed anyway, and the cut stays.
std::size_t first_piece_size(std::string_view text) {
    std::size_t start = MAX_LINE_PIECE;
    while (start > MAX_LINE_PIECE - 3 && is_continuation(text[start])) {
        --start;
    }
    const bool lead = static_cast<unsigned char>(text[start]) >= 0xC0;
    return start < MAX_LINE_PIECE && lead ? start : MAX_LINE_PIECE;
}

// A line or piece is judged whole: the ill-formed are dropped.
void give(std::string_view text, const LineSink& emit) {
    if (!validate_utf8(text)) {
        emit(text);
    }
}

}  // namespace

void LineSplitter::feed(std::string_view bytes, const LineSink& emit) {
    for (;;) {
        const std::size_t line_feed = bytes.find('\n');
        if (line_feed == std::string_view::npos) {
            line_.append(bytes);
            give_sure_pieces(emit);
            return;
        }
        line_.append(bytes.substr(0, line_feed + 1));
        bytes.remove_prefix(line_feed + 1);
        finish(emit);
    }
}

void LineSplitter::give_sure_pieces(const LineSink& emit) {
    std::size_t given = 0;
    while (line_.size() - given >= MAX_LINE_PIECE + 2) {
        const std::string_view rest = std::string_view(line_).substr(given);
        const std::size_t size = first_piece_size(rest);
        give(rest.substr(0, size), emit);
        given += size;
    }
    line_.erase(0, given);
}

bool LineSplitter::end_of_stream(const LineSink& emit) {
    if (line_.empty()) {
        return false;
    }
    finish(emit);
    return true;
}

void LineSplitter::finish(const LineSink& emit) {
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
    }
    while (line.size() > MAX_LINE_PIECE) {
        const std::size_t size = first_piece_size(line);
        give(line.substr(0, size), emit);
        line.remove_prefix(size);
    }
    // The line is consumed either way.
    give(line, emit);
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

std::string core_exit_message(std::uint32_t pid, std::uint32_t code, bool ended_by_service) {
    std::string message =
        "Core process " + std::to_string(pid) + " exited with code " + std::to_string(code);
    if (code >= 0xC0000000U) {
        static constexpr char DIGITS[] = "0123456789ABCDEF";
        message += " (0x";
        for (int shift = 28; shift >= 0; shift -= 4) {
            message += DIGITS[(code >> shift) & 0xF];
        }
        message += ")";
    }
    if (ended_by_service) {
        message += ", ended by the service";
    }
    return message;
}

}  // namespace zelto
