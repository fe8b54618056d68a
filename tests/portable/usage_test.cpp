#include <gtest/gtest.h>

#include "main/command_line.h"

namespace zelto {
namespace {

TEST(UsageText, IsTheSevenLinesByteForByte) {
    const char* expected =
        "Zelto Service\n"
        "\n"
        "Usage:\n"
        "  Zelto-service.exe              Run as Windows service\n"
        "  Zelto-service.exe install      Install service\n"
        "  Zelto-service.exe uninstall    Uninstall service\n"
        "  Zelto-service.exe status       Query service status\n";
    EXPECT_EQ(usage_text(), expected);
}

}  // namespace
}  // namespace zelto
