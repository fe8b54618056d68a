#pragma once
// How the core's output becomes log lines: split at 0A, one 0D before it removed, lines that are
// not well-formed UTF-8 dropped whole, a final line without 0A kept, no length limit.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace zelto {

// One read buffer per stream.
inline constexpr std::size_t FORWARD_BUFFER_SIZE = 8192;
// A pipe that fails every read would otherwise keep its thread spinning.
inline constexpr int MAX_READ_ERRORS_IN_A_ROW = 3;

// A finished line, without its 0A and the one 0D in front of it.
using LineSink = std::function<void(std::string_view line)>;

class LineSplitter {
  public:
    // Bytes from the stream; every line they complete goes to `emit`.
    void feed(std::string_view bytes, const LineSink& emit);
    // A read of 0 bytes. A pending partial line is finished as it is; returns false when nothing
    // was pending, which is the end of the stream.
    bool end_of_stream(const LineSink& emit);
    // A failed read drops the line being collected.
    void drop_partial() { line_.clear(); }

  private:
    void finish(const LineSink& emit);

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

}  // namespace zelto
