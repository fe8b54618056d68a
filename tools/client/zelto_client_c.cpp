// The C interface over the C++ client: no exception and no C++ type crosses it.

#define ZELTO_CLIENT_BUILDING
#include "zelto_client_c.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "zelto_client.h"

namespace client = zelto::client;

struct zelto_cancel {
    client::Cancel cancel;
};

struct zelto_client {
    client::Client client;
};

static_assert(static_cast<int>(client::ErrorKind::NOT_INSTALLED) == ZELTO_NOT_INSTALLED &&
              static_cast<int>(client::ErrorKind::NOT_RUNNING) == ZELTO_NOT_RUNNING &&
              static_cast<int>(client::ErrorKind::BUSY) == ZELTO_BUSY &&
              static_cast<int>(client::ErrorKind::TIMED_OUT) == ZELTO_TIMED_OUT &&
              static_cast<int>(client::ErrorKind::IMPOSTOR) == ZELTO_IMPOSTOR &&
              static_cast<int>(client::ErrorKind::TOO_LONG) == ZELTO_TOO_LONG &&
              static_cast<int>(client::ErrorKind::EMPTY) == ZELTO_EMPTY &&
              static_cast<int>(client::ErrorKind::FAILED) == ZELTO_FAILED &&
              static_cast<int>(client::ErrorKind::NO_REPLY) == ZELTO_NO_REPLY &&
              static_cast<int>(client::ErrorKind::SERVICE_ERROR) == ZELTO_SERVICE_ERROR &&
              static_cast<int>(client::ErrorKind::CANCELLED) == ZELTO_CANCELLED);
static_assert(
    static_cast<int>(client::RefusalKind::NONE) == ZELTO_REFUSAL_NONE &&
    static_cast<int>(client::RefusalKind::CONFIG_NOT_FOUND) == ZELTO_REFUSAL_CONFIG_NOT_FOUND &&
    static_cast<int>(client::RefusalKind::CORE_NOT_FOUND) == ZELTO_REFUSAL_CORE_NOT_FOUND &&
    static_cast<int>(client::RefusalKind::CORE_NOT_ALLOWED) == ZELTO_REFUSAL_CORE_NOT_ALLOWED &&
    static_cast<int>(client::RefusalKind::CONFIG_NOT_ALLOWED) == ZELTO_REFUSAL_CONFIG_NOT_ALLOWED &&
    static_cast<int>(client::RefusalKind::LAUNCH_FAILED) == ZELTO_REFUSAL_LAUNCH_FAILED &&
    static_cast<int>(client::RefusalKind::NOT_UNDERSTOOD) == ZELTO_REFUSAL_NOT_UNDERSTOOD &&
    static_cast<int>(client::RefusalKind::OTHER) == ZELTO_REFUSAL_OTHER);

namespace {

// The longest start of `text` that fits `size` - 1 bytes without cutting a UTF-8 character.
std::size_t fitting_length(std::string_view text, std::size_t size) noexcept {
    if (text.size() < size) {
        return text.size();
    }
    std::size_t length = size - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        --length;
    }
    return length;
}

// Copies `text`, NUL-terminated, into `buffer` of `size` bytes (nothing when size is 0).
void copy_out(std::string_view text, char* buffer, std::size_t size) noexcept {
    if (buffer == nullptr || size == 0) {
        return;
    }
    const std::size_t length = fitting_length(text, size);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

int32_t finish(const client::Reply& reply, char* answer, std::size_t answer_size,
               zelto_outcome* outcome) {
    zelto_outcome result{};
    std::string text;
    if (reply) {
        text = reply.value();
        result.sent = 1;
    } else {
        const client::Error& error = reply.error();
        result.kind = static_cast<int32_t>(error.kind);
        result.sent = error.sent ? 1 : 0;
        copy_out(error.message, result.message, sizeof result.message);
        if (error.kind == client::ErrorKind::SERVICE_ERROR) {
            text = "ERR|" + error.message;
        }
    }
    result.answer_length = text.size();
    copy_out(text, answer, answer_size);
    if (outcome != nullptr) {
        *outcome = result;
    }
    return result.kind;
}

// A failure told without allocating: `why` is a literal. `sent` when the request may have been
// written before it.
int32_t failed(const char* why, bool sent, char* answer, std::size_t answer_size,
               zelto_outcome* outcome) noexcept {
    copy_out("", answer, answer_size);
    if (outcome != nullptr) {
        *outcome = zelto_outcome{};
        outcome->kind = ZELTO_FAILED;
        outcome->sent = sent ? 1 : 0;
        copy_out(why, outcome->message, sizeof outcome->message);
    }
    return ZELTO_FAILED;
}

int32_t send_with(client::Client& sender, const char* request, uint32_t timeout_ms,
                  const zelto_cancel* cancel, char* answer, size_t answer_size,
                  zelto_outcome* outcome) noexcept {
    try {
        const std::string_view text = request != nullptr ? request : "";
        const auto timeout = timeout_ms == ZELTO_TIMEOUT_DEFAULT
                                 ? client::default_timeout(text)
                                 : std::chrono::milliseconds(timeout_ms);
        return finish(sender.send(text, timeout, cancel != nullptr ? &cancel->cancel : nullptr),
                      answer, answer_size, outcome);
    } catch (...) {
        // Out of memory, somewhere between building the request and copying the answer.
        return failed("out of memory; the request may have been sent", true, answer, answer_size,
                      outcome);
    }
}

}  // namespace

extern "C" {

ZELTO_API zelto_cancel* ZELTO_CALL zelto_cancel_create(void) {
    return new (std::nothrow) zelto_cancel;
}

ZELTO_API void ZELTO_CALL zelto_cancel_request(zelto_cancel* cancel) {
    if (cancel != nullptr) {
        cancel->cancel.cancel();
    }
}

ZELTO_API void ZELTO_CALL zelto_cancel_destroy(zelto_cancel* cancel) {
    delete cancel;
}

ZELTO_API int32_t ZELTO_CALL zelto_send(const char* request, uint32_t timeout_ms,
                                        const zelto_cancel* cancel, char* answer,
                                        size_t answer_size, zelto_outcome* outcome) {
    try {
        client::Client sender;
        return send_with(sender, request, timeout_ms, cancel, answer, answer_size, outcome);
    } catch (...) {
        return failed("out of memory", false, answer, answer_size, outcome);
    }
}

ZELTO_API zelto_client* ZELTO_CALL zelto_client_create(void) {
    return new (std::nothrow) zelto_client;
}

ZELTO_API void ZELTO_CALL zelto_client_destroy(zelto_client* client) {
    delete client;
}

ZELTO_API int32_t ZELTO_CALL zelto_client_send(zelto_client* client, const char* request,
                                               uint32_t timeout_ms, const zelto_cancel* cancel,
                                               char* answer, size_t answer_size,
                                               zelto_outcome* outcome) {
    if (client == nullptr) {
        return failed("no client given", false, answer, answer_size, outcome);
    }
    return send_with(client->client, request, timeout_ms, cancel, answer, answer_size, outcome);
}

ZELTO_API size_t ZELTO_CALL zelto_start_request(const char* config_path, const char* core_path,
                                                char* request, size_t size) {
    try {
        const std::string text = client::start_request(config_path != nullptr ? config_path : "",
                                                       core_path != nullptr ? core_path : "");
        if (text.size() < size && request != nullptr) {
            std::memcpy(request, text.c_str(), text.size() + 1);
        }
        return text.size();
    } catch (...) {
        return SIZE_MAX;
    }
}

ZELTO_API int32_t ZELTO_CALL zelto_parse_status(const char* answer, uint32_t* pid) {
    const std::optional<client::CoreStatus> status =
        client::parse_status(answer != nullptr ? answer : "");
    if (pid != nullptr) {
        *pid = status ? status->running_pid.value_or(0) : 0;
    }
    return status ? 1 : 0;
}

ZELTO_API int32_t ZELTO_CALL zelto_parse_version(const char* answer, char* version, size_t size) {
    try {
        const std::optional<std::string> parsed =
            client::parse_version(answer != nullptr ? answer : "");
        if (parsed) {
            copy_out(*parsed, version, size);
        }
        return parsed ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

ZELTO_API const char* ZELTO_CALL zelto_error_kind_name(int32_t kind) {
    // Views of string literals: NUL-terminated.
    return kind == ZELTO_OK ? "OK"
                            : client::error_kind_name(static_cast<client::ErrorKind>(kind)).data();
}

ZELTO_API int32_t ZELTO_CALL zelto_refusal_kind(const char* answer, uint32_t* win32_error) {
    const client::Refusal refusal = client::refusal_of(answer != nullptr ? answer : "");
    if (win32_error != nullptr) {
        *win32_error = refusal.win32_error;
    }
    return static_cast<int32_t>(refusal.kind);
}

ZELTO_API const char* ZELTO_CALL zelto_refusal_kind_name(int32_t kind) {
    // Views of string literals: NUL-terminated.
    return client::refusal_kind_name(static_cast<client::RefusalKind>(kind)).data();
}

ZELTO_API const char* ZELTO_CALL zelto_library_version(void) {
    return client::LIBRARY_VERSION.data();
}

ZELTO_API const char* ZELTO_CALL zelto_protocol_version(void) {
    return client::PROTOCOL_VERSION.data();
}

ZELTO_API int32_t ZELTO_CALL zelto_protocol_compatible(const char* version) {
    try {
        return version != nullptr && client::protocol_compatible(version) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

ZELTO_API const char* ZELTO_CALL zelto_log_path(void) {
    return client::LOG_PATH.data();
}

}  // extern "C"
