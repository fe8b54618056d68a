#pragma once
// How the core's output becomes log lines: split at 0A, one 0D before it removed, a final line
// without 0A kept, a line longer than MAX_LINE_PIECE cut into pieces of at most that size, each a
// log line of its own; a line or piece that is not well-formed UTF-8 is dropped whole.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zelto {

// One read buffer per stream, as large as the pipe's own: a flooding core's lines reach the log
// in few, large batches.
inline constexpr std::size_t FORWARD_BUFFER_SIZE = 65536;
// A core that never ends a line can make the service hold no more than this of it. Pieces end at
// a character boundary (up to 3 bytes short of the size), so a well-formed line gives well-formed
// pieces.
inline constexpr std::size_t MAX_LINE_PIECE = 65536;
// A pipe that fails every read would otherwise keep its thread spinning.
inline constexpr int MAX_READ_ERRORS_IN_A_ROW = 3;

// A finished line, without its 0A and the one 0D in front of it, or one piece of a long line.
using LineSink = std::function<void(std::string_view line)>;

class LineSplitter {
  public:
    // Bytes from the stream; every line they complete goes to `emit`.
    void feed(std::string_view bytes, const LineSink& emit);
    // A read of 0 bytes. A pending partial line is finished as it is; returns false when nothing
    // was pending, which is the end of the stream.
    bool end_of_stream(const LineSink& emit);
    // A failed read drops the line being collected (its pieces already given stay given).
    void drop_partial() { line_.clear(); }

  private:
    void finish(const LineSink& emit);
    // Gives the pieces of a partial line that is certain to be longer than MAX_LINE_PIECE, even
    // if the next byte is 0A and one 0D in front of it is removed.
    void give_sure_pieces(const LineSink& emit);

    // The partial line: never more than MAX_LINE_PIECE + 1 bytes once a feed returns.
    std::string line_;
};

struct ReadOutcome {
    enum class Kind { DATA, END_OF_STREAM, READ_FAILED };
    Kind kind;
    std::size_t size;  // bytes read, for DATA
};

// Reads into a buffer of `capacity` bytes.
using StreamReader = std::function<ReadOutcome(char* buffer, std::size_t capacity)>;

// Reads with `read` until the end of the stream, or until MAX_READ_ERRORS_IN_A_ROW reads in a
// row have failed, and hands every line to `emit`.
void forward_lines(const StreamReader& read, const LineSink& emit);

// "Core process {pid} exited with code {code}": the code in decimal, and in hex as well when it is
// an NTSTATUS of a failure (0xC0000000 or more, an access violation, say); said so when the
// service ended the core itself.
std::string core_exit_message(std::uint32_t pid, std::uint32_t code, bool ended_by_service);

}  // namespace zelto
