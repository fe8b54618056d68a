// Builds as C++17 with nothing but the client's public folder on its include path.
#include "zelto_client.h"

#if __cplusplus != 201703L
#error "not built as C++17"
#endif
#if defined(_WINDOWS_) || __has_include("common/unique_handle.h")
#error "zelto_client.h pulled in windows.h, or the service's source is on the include path"
#endif

int main() {
    using namespace zelto::client;
    Client client;
    const Cancel cancel;
    const Reply reply =
        client.send(start_request("config.yaml", "core.exe"), CORE_CHANGE_TIMEOUT, &cancel);
    const Reply status = send_request("STATUS");
    if (const std::string* answer = status.answer_if(); answer && parse_status(*answer)) {
        return 0;
    }
    const Reply version = send_request("VERSION");
    if (version && protocol_compatible(*parse_version(version.value()))) {
        return LOG_PATH.empty() ? 1 : 0;
    }
    return reply.error_if() ? static_cast<int>(error_kind_name(reply.error().kind).size()) : 2;
}
