#include "ipc/base64.h"

#include <gtest/gtest.h>

namespace zelto {
namespace {

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF\xBF", "+/+/"},
    };
    for (const auto& [bytes, field] : vectors) {
        EXPECT_EQ(encode_base64(bytes), field);
        const Result<std::string> decoded = decode_base64(field);
        ASSERT_TRUE(decoded.ok()) << field << ": " << decoded.error();
        EXPECT_EQ(decoded.value(), bytes);
    }
}

TEST(Base64, EncodesOnlyTheViewItIsGiven) {
    EXPECT_EQ(encode_base64(std::string_view("foobar").substr(0, 4)), "Zm9vYg==");
    EXPECT_EQ(encode_base64(std::string_view("foobar").substr(0, 5)), "Zm9vYmE=");
}

TEST(Base64, RoundTripsEveryLengthAndPaddingForm) {
    std::string all_values;
    for (int value = 0; value < 256; ++value) {
        all_values.push_back(static_cast<char>(value));
    }
    std::vector<std::string> inputs = {all_values};
    for (std::size_t length = 0; length <= 64; ++length) {
        std::string bytes;
        for (std::size_t i = 0; i < length; ++i) {
            bytes.push_back(static_cast<char>((length * 31 + i * 97 + 250) & 0xFF));
        }
        inputs.push_back(bytes);
    }
    for (const std::string& bytes : inputs) {
        const std::string field = encode_base64(bytes);
        SCOPED_TRACE(field);
        ASSERT_EQ(field.size(), (bytes.size() + 2) / 3 * 4);
        const std::size_t pads = (3 - bytes.size() % 3) % 3;
        EXPECT_EQ(field.find('='), pads == 0 ? std::string::npos : field.size() - pads);
        const Result<std::string> decoded = decode_base64(field);
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        EXPECT_EQ(decoded.value(), bytes);
    }
}

TEST(Base64, RefusesEverythingButTheCanonicalEncoding) {
    const std::pair<std::string, std::string> cases[] = {
        // White space and line breaks anywhere.
        {" Zm9v", "Invalid symbol 32, offset 0."},
        {"Zm 9v", "Invalid symbol 32, offset 2."},
        {"Zm9v\n", "Invalid symbol 10, offset 4."},
        {"Zm9v\r\nYg==", "Invalid symbol 13, offset 4."},
        {"Zg=\t", "Invalid symbol 9, offset 3."},
        // URL-safe symbols.
        {"-w==", "Invalid symbol 45, offset 0."},
        {"Pz8_", "Invalid symbol 95, offset 3."},
        // A lone trailing byte is reported before an earlier bad one.
        {"Z!m9!", "Invalid symbol 33, offset 4."},
        {"Z!m9=", "Invalid symbol 33, offset 1."},
        // Missing, short or surplus padding.
        {"Zg", "Invalid padding"},
        {"Zg=", "Invalid padding"},
        {"Zm8", "Invalid padding"},
        {"Zm9vYg", "Invalid padding"},
        {"Zm8==", "Invalid symbol 61, offset 3."},
        {"Zm9v====", "Invalid symbol 61, offset 4."},
        {"Zm9vY", "Invalid input length: 5"},
        {"Z", "Invalid input length: 1"},
        // "=" anywhere but as final padding.
        {"=", "Invalid symbol 61, offset 0."},
        {"Z=g=", "Invalid symbol 61, offset 1."},
        {"Zg==Zg==", "Invalid symbol 61, offset 2."},
        {"Zg=g", "Invalid symbol 61, offset 2."},
        {"Zg=!", "Invalid symbol 33, offset 3."},
        // Leftover bits that are not zero.
        {"Zh==", "Invalid last symbol 104, offset 1."},
        {"Zm9=", "Invalid last symbol 57, offset 2."},
        {"Zm9vZm/=", "Invalid last symbol 47, offset 6."},
        // Bytes outside ASCII.
        {"Zm\xC3\xA9", "Invalid symbol 195, offset 2."},
    };
    for (const auto& [field, error] : cases) {
        const Result<std::string> decoded = decode_base64(field);
        ASSERT_FALSE(decoded.ok()) << field;
        EXPECT_EQ(decoded.error(), error) << field;
    }
}

}  // namespace
}  // namespace zelto
