// A field that decodes re-encodes to exactly the same field: the decoder accepts only the
// canonical encoding. The same holds for a START path argument, whose text is also well-formed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ipc/base64.h"
#include "ipc/protocol.h"
#include "utf8_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view field(reinterpret_cast<const char*>(data), size);
    const zelto::Result<std::string> bytes = zelto::decode_base64(field);
    if (bytes && zelto::encode_base64(bytes.value()) != field) {
        std::abort();
    }
    const zelto::Result<std::string> argument = zelto::decode_argument(field);
    if (argument && (!bytes || argument.value() != bytes.value() ||
                     !zelto::fuzz::is_well_formed_utf8(argument.value()))) {
        std::abort();
    }
    // Whatever the encoder makes, the decoder takes back.
    const zelto::Result<std::string> round_trip = zelto::decode_base64(zelto::encode_base64(field));
    if (!round_trip || round_trip.value() != field) {
        std::abort();
    }
    return 0;
}
