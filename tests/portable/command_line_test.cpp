#include "core/command_line.h"

#include <gtest/gtest.h>

namespace zelto {
namespace {

TEST(ConfigDir, Table) {
    struct Case {
        std::string_view path;
        std::string_view dir;
    };
    const Case cases[] = {
        {"C:\\proxy\\config.yaml", "C:\\proxy"},
        {"C:/proxy//config.yaml", "C:/proxy"},
        {"C:\\proxy\\sub\\", "C:\\proxy"},
        {"C:\\config.yaml", "C:\\"},
        {"\\\\nas\\share\\config.yaml", "\\\\nas\\share\\"},
        {"C:config.yaml", "C:"},
        {"config.yaml", ""},
        {".\\config.yaml", "."},
        {"C:\\", "."},
        // Beyond the table: no component, "." and empty components, other prefixes.
        {"", "."},
        {"\\", "."},
        {"C:", "."},
        {"\\\\nas\\share", "."},
        {"\\\\nas\\share\\", "."},
        {".", ""},
        {"..\\config.yaml", ".."},
        {"C:\\a\\.\\b.yaml", "C:\\a"},
        {"C:\\a\\b\\.", "C:\\a"},
        {"C:\\a\\\\.\\\\b", "C:\\a"},
        {"a/./b", "a"},
        {"\\cfg\\config.yaml", "\\cfg"},
        {"\\config.yaml", "\\"},
        {"//nas/share/config.yaml", "//nas/share/"},
        {"\\\\nas\\share\\dir\\config.yaml", "\\\\nas\\share\\dir"},
        {"\\\\nas\\config.yaml", "."},  // the share itself
        {"\\\\?\\C:\\cfg\\config.yaml", "\\\\?\\C:\\cfg"},
        {"\\\\?\\C:\\config.yaml", "\\\\?\\C:\\"},
        {"\\\\?\\C:\\a/b", "\\\\?\\C:\\"},
        {"\\\\?\\UNC\\nas\\share\\config.yaml", "\\\\?\\UNC\\nas\\share\\"},
        {"\\\\.\\pipe\\config", "\\\\.\\pipe\\"},
        // After \\?\ the first component is the prefix, a drive being no different, and "/" is
        // part of a name.
        {"\\\\?\\Volume{x}\\config.yaml", "\\\\?\\Volume{x}\\"},
        {"\\\\?\\a/b\\config.yaml", "\\\\?\\a/b\\"},
        {"\\\\?\\C:/a\\b", "\\\\?\\C:/a\\"},
        {"\\\\?\\C:x", "."},
        {"\\\\?\\c:\\a\\.\\b\\", "\\\\?\\c:\\a"},
        {"\\\\?\\\\a", "\\\\?\\\\"},
        {"\\\\?/C:/a", "\\\\?/C:/"},  // not \\?\ but a share "C:" on a server "?"
        // \\?\UNC\ is followed by a server and a share, either may be empty; without a share the
        // server alone is the prefix.
        {"\\\\?\\UNC\\\\s\\a", "\\\\?\\UNC\\\\s\\"},
        {"\\\\?\\UNC\\nas\\\\a", "\\\\?\\UNC\\nas\\"},
        {"\\\\?\\UNC\\a/b\\c/d\\e/f", "\\\\?\\UNC\\a/b\\c/d\\"},
        // \\.\ and one component, "/" separating as well.
        {"//./pipe/a/b", "//./pipe/a"},
        {"//.//a", "//.//"},
        {"\\\\.a\\s\\b", "\\\\.a\\s\\"},  // a share on a server ".a"
        // Two separators without a server and a share: a root and empty components.
        {"\\\\nas", "\\"},
        {"\\\\nas\\", "\\"},
        {"\\\\\\a\\b", "\\\\\\a"},
        // Drive letters and the characters next to A-Z and a-z.
        {"A:a", "A:"},
        {"Z:a", "Z:"},
        {"a:a", "a:"},
        {"z:a", "z:"},
        {"@:a", ""},
        {"[:a", ""},
        {"`:a", ""},
        {"{:a", ""},
        {"a", ""},
        // Not a drive, not a share: plain components.
        {"1:config.yaml", ""},
        {"\\\\nas\\\\config.yaml", "\\\\nas"},
        {"C:\\My Configs\\config.yaml", "C:\\My Configs"},
        {"C:\\gr\xC3\xBC\xC3\x9F\\c.yaml", "C:\\gr\xC3\xBC\xC3\x9F"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(config_dir_of(c.path), c.dir) << c.path;
    }
}

TEST(CoreCommandLine, Table) {
    const std::string core = "C:\\Program Files\\core\\mihomo.exe";
    const std::string front = "\"" + core + "\" ";
    struct Case {
        std::string_view config;
        std::string_view rest;
    };
    const Case cases[] = {
        {"C:\\cfg\\config.yaml", "-d C:\\cfg -f C:\\cfg\\config.yaml"},
        {"C:\\My Configs\\config.yaml", "-d \"C:\\My Configs\" -f \"C:\\My Configs\\config.yaml\""},
        {"\\\\nas\\my share\\config.yaml",
         "-d \"\\\\nas\\my share\\\\\" -f \"\\\\nas\\my share\\config.yaml\""},
        {"C:\\config.yaml", "-d C:\\ -f C:\\config.yaml"},
        {"config.yaml", "-d \"\" -f config.yaml"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(build_core_command_line(core, config_dir_of(c.config), c.config),
                  front + std::string(c.rest))
            << c.config;
    }
}

TEST(CoreCommandLine, CorePathIsNeverEscaped) {
    EXPECT_EQ(build_core_command_line("C:\\a\\", "d", "f"), "\"C:\\a\\\" -d d -f f");
}

TEST(ArgumentEncoding, Table) {
    struct Case {
        std::string_view argument;
        std::string_view encoded;
    };
    const Case cases[] = {
        {"", "\"\""},
        {"plain", "plain"},
        {"a b", "\"a b\""},
        {"a\tb", "\"a\tb\""},
        {"a\"b", "a\\\"b"},
        {"a\\\"b", "a\\\\\\\"b"},
        {"a\\\\\"b", "a\\\\\\\\\\\"b"},
        {"a\\b\\", "a\\b\\"},
        {"a b\\", "\"a b\\\\\""},
        {"a b\\\\", "\"a b\\\\\\\\\""},
        {"\"", "\\\""},
        {"\" \"", "\"\\\" \\\"\""},
        {"\\\\server\\share", "\\\\server\\share"},
        {"new\nline", "new\nline"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode_argument(c.argument), c.encoded) << c.argument;
    }
}

}  // namespace
}  // namespace zelto
