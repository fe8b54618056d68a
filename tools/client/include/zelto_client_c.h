/* The Zelto service's client as a C interface, for any language that can call a DLL (C, C#, Go,
 * Rust, Python, Dart...): zelto_client.dll and its import library zelto_client.lib.
 *
 * It makes the same steps and the same check of the pipe's server as the C++ library it wraps:
 * it asks the service control manager which process runs the service, opens the pipe, and sends
 * nothing unless that process serves it. Strings are UTF-8 and end with a NUL byte. Every function
 * is __cdecl. Calls block until they end, at the latest when their timeout has passed or within
 * 50 ms of their cancel; keep them off a UI thread. One call at a time per zelto_client; any
 * number of them on different threads.
 *
 * Every string a function here returns (the names, versions and the log's path) is static: it
 * lives as long as the DLL is loaded and is never freed. */
#ifndef ZELTO_CLIENT_C_H
#define ZELTO_CLIENT_C_H

#include <stddef.h>
#include <stdint.h>

/* The DLL's linkage and calling convention on Windows; empty elsewhere, so that tools that read
 * this header on another system (binding generators) parse it as plain C. */
#if defined(_WIN32)
#if defined(ZELTO_CLIENT_BUILDING)
#define ZELTO_API __declspec(dllexport)
#else
#define ZELTO_API __declspec(dllimport)
#endif
#define ZELTO_CALL __cdecl
#else
#define ZELTO_API
#define ZELTO_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call came to: ZELTO_OK, or why there is no OK answer. Values never change. */
#define ZELTO_OK 0
/* Nothing was sent: */
#define ZELTO_NOT_INSTALLED 1 /* the service is not installed */
#define ZELTO_NOT_RUNNING 2   /* the service is stopped, stopping, or its process has ended */
#define ZELTO_BUSY 3          /* other clients held the pipe until the timeout passed */
#define ZELTO_TIMED_OUT 4     /* the timeout passed before the request reached a free pipe */
#define ZELTO_IMPOSTOR 5      /* another process than the service serves the pipe; refused */
#define ZELTO_TOO_LONG 6      /* longer than 4096 bytes */
#define ZELTO_EMPTY 7         /* the service answers no empty request */
#define ZELTO_FAILED 8        /* a system call failed (or an argument was NULL) */
/* Sent, so the request may have run: */
#define ZELTO_NO_REPLY 9       /* the connection ended, or the timeout passed, with no answer */
#define ZELTO_SERVICE_ERROR 10 /* the service answered "ERR|..." */
/* Either, see zelto_outcome.sent: */
#define ZELTO_CANCELLED 11 /* the call's zelto_cancel was cancelled */

/* Timeout: 0 waits 15000 ms for START and STOP (a STOP may wait 5 s for the old core's processes
 * and then its log lines) and 5000 ms for anything else. */
#define ZELTO_TIMEOUT_DEFAULT 0u
/* A buffer of this size holds any answer of this service. */
#define ZELTO_ANSWER_SIZE 8192u
#define ZELTO_MESSAGE_SIZE 1024u

/* How a call ended, beside its answer. */
typedef struct zelto_outcome {
    int32_t kind;         /* ZELTO_OK or an error above; also the call's return value */
    int32_t sent;         /* nonzero for every answer received (ZELTO_OK, ZELTO_SERVICE_ERROR)
                             and whenever the request may have reached the service */
    size_t answer_length; /* the whole answer's length in bytes; more than the buffer held when
                             it is not less than answer_size */
    char message[ZELTO_MESSAGE_SIZE]; /* why there is no OK answer, for a log; "" for ZELTO_OK;
                                         cut between characters when longer */
} zelto_outcome;

/* Cancels calls from another thread. Destroy it only after every call given it has returned.
 * Once cancelled it stays cancelled, and every later call given it returns ZELTO_CANCELLED at
 * once: make a new one for the next calls. */
typedef struct zelto_cancel zelto_cancel;
ZELTO_API zelto_cancel* ZELTO_CALL zelto_cancel_create(void); /* NULL when out of memory */
ZELTO_API void ZELTO_CALL zelto_cancel_request(zelto_cancel* cancel);
ZELTO_API void ZELTO_CALL zelto_cancel_destroy(zelto_cancel* cancel);

/* One request. `answer` receives the service's answer as it sent it ("OK|..." or "ERR|..."),
 * NUL-terminated and cut to answer_size - 1 bytes; it may be NULL when answer_size is 0. `cancel`
 * and `outcome` may be NULL. Returns the outcome's kind. */
ZELTO_API int32_t ZELTO_CALL zelto_send(const char* request, uint32_t timeout_ms,
                                        const zelto_cancel* cancel, char* answer,
                                        size_t answer_size, zelto_outcome* outcome);

/* A client for repeated requests: between them it keeps the service's process, so a later
 * request checks the pipe's server in microseconds. */
typedef struct zelto_client zelto_client;
ZELTO_API zelto_client* ZELTO_CALL zelto_client_create(void); /* NULL when out of memory */
ZELTO_API void ZELTO_CALL zelto_client_destroy(zelto_client* client);
ZELTO_API int32_t ZELTO_CALL zelto_client_send(zelto_client* client, const char* request,
                                               uint32_t timeout_ms, const zelto_cancel* cancel,
                                               char* answer, size_t answer_size,
                                               zelto_outcome* outcome);

/* "START|<base64 config path>|<base64 core path>", relative paths made absolute against this
 * process's working folder. Returns the request's length; it was written whole, NUL-terminated,
 * only when that is less than size (as snprintf). SIZE_MAX when memory for it cannot be had
 * (nothing was written). */
ZELTO_API size_t ZELTO_CALL zelto_start_request(const char* config_path, const char* core_path,
                                                char* request, size_t size);
/* A STATUS answer: 1 for "OK|Running|<pid>" with *pid set, 1 for "OK|Stopped" with *pid 0, 0 for
 * anything else. */
ZELTO_API int32_t ZELTO_CALL zelto_parse_status(const char* answer, uint32_t* pid);
/* A VERSION answer "OK|<digits and dots>": 1 with the version copied (cut to size - 1 bytes), 0
 * for anything else. */
ZELTO_API int32_t ZELTO_CALL zelto_parse_version(const char* answer, char* version, size_t size);

/* "NOT_INSTALLED", "BUSY", ...; "OK" for ZELTO_OK, "UNKNOWN" for any other value. */
ZELTO_API const char* ZELTO_CALL zelto_error_kind_name(int32_t kind);

/* What a ZELTO_SERVICE_ERROR answer refused, for a GUI to switch on instead of matching English
 * text. Values never change. */
#define ZELTO_REFUSAL_NONE 0               /* not an "ERR|" answer */
#define ZELTO_REFUSAL_CONFIG_NOT_FOUND 1   /* "Config file not found: <path>" */
#define ZELTO_REFUSAL_CORE_NOT_FOUND 2     /* "Core binary not found: <path>" */
#define ZELTO_REFUSAL_CORE_NOT_ALLOWED 3   /* "Core binary not allowed by policy: <path>" */
#define ZELTO_REFUSAL_CONFIG_NOT_ALLOWED 4 /* "Config not allowed by policy: <path>" */
#define ZELTO_REFUSAL_LAUNCH_FAILED 5      /* "Failed to spawn core process: <cause>" */
#define ZELTO_REFUSAL_NOT_UNDERSTOOD 6     /* a malformed request, an unknown command */
#define ZELTO_REFUSAL_OTHER 7              /* any other "ERR|" answer */
/* The refusal kind of `answer` as a call copied it ("ERR|..."); ZELTO_REFUSAL_NONE for any other
 * text or NULL. `win32_error`, when not NULL, receives the Win32 error number of a launch failure
 * whose text carries one ("... (os error 193)"), and 0 otherwise. */
ZELTO_API int32_t ZELTO_CALL zelto_refusal_kind(const char* answer, uint32_t* win32_error);
/* "CONFIG_NOT_FOUND", ...; "NONE" for ZELTO_REFUSAL_NONE, "UNKNOWN" for any other value. */
ZELTO_API const char* ZELTO_CALL zelto_refusal_kind_name(int32_t kind);

/* This DLL's version, the protocol version it speaks, and whether a service answering VERSION
 * with `version` speaks it too (1) or not (0): the same major and minor number. */
ZELTO_API const char* ZELTO_CALL zelto_library_version(void);
ZELTO_API const char* ZELTO_CALL zelto_protocol_version(void);
ZELTO_API int32_t ZELTO_CALL zelto_protocol_compatible(const char* version);
/* The service's log file, which any user may read. */
ZELTO_API const char* ZELTO_CALL zelto_log_path(void);

#ifdef __cplusplus
}
#endif

#endif
