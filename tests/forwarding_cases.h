#pragma once
// Output of a core and the lines the forwarding must make of it: shared by the test of the line
// rules and the test through real pipes, so both hold the same table.

#include <string>
#include <vector>

#include "core/output_lines.h"

namespace zelto::test {

struct ForwardingCase {
    std::string output;
    std::vector<std::string> lines;
};

inline std::vector<ForwardingCase> forwarding_cases() {
    const std::string long_line(20000, 'x');
    const std::string piece(MAX_LINE_PIECE, 'p');
    return {
        {"a\r\nb\n", {"a", "b"}},
        {"a\r\r\n", {"a\r"}},
        {"\n", {""}},
        {"abc", {"abc"}},
        {"abc\r", {"abc\r"}},
        {"\xFF\xFE\nok\n", {"ok"}},
        {long_line + "\n", {long_line}},
        {"", {}},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
        {"\n\n", {"", ""}},
        {"\r\n", {""}},
        {"a\rb\n", {"a\rb"}},
        // Ill-formed: overlong, surrogate, above U+10FFFF, truncated at the end of the stream.
        {"\xC0\xAF\nx\n", {"x"}},
        {"\xED\xA0\x80\ny\n", {"y"}},
        {"\xF4\x90\x80\x80\nz\n", {"z"}},
        {"ok\n\xE2\x82", {"ok"}},
        {"\xE2\x82\xAC\n", {"\xE2\x82\xAC"}},
        // Longer than a piece: cut, nothing lost, no empty piece; a character is never split, and
        // an ill-formed piece drops only itself.
        {piece + "\r\n", {piece}},
        {piece + "q\n", {piece, "q"}},
        {piece + piece + "\r\n" + "next\n", {piece, piece, "next"}},
        {piece + piece + "q", {piece, piece, "q"}},
        {piece.substr(1) + "\xE2\x82\xAC\n", {piece.substr(1), "\xE2\x82\xAC"}},
        {piece.substr(3) + "\xF0\x9F\x98\x80" + "q\n", {piece.substr(3), "\xF0\x9F\x98\x80q"}},
        {"\xFF" + piece + "ok\n", {"pok"}},
    };
}

}  // namespace zelto::test
