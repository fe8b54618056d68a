/* What a GUI does with zelto_client.dll, in C: keep one client, poll STATUS, start a core, tell
 * the service's refusals apart, stop the core. Compile it with zelto_client_c.h on the include
 * path, link zelto_client.lib, and put zelto_client.dll beside the program.
 *   gui_client <config.yaml> <mihomo.exe>
 * Exits 0 when every step went as expected. */
#include <stdio.h>

#include "zelto_client_c.h"

/* Sends `request` and prints what a GUI would show; returns the call's kind. */
static int32_t ask(zelto_client* client, const char* request, char* answer, size_t size) {
    zelto_outcome outcome;
    const int32_t kind =
        zelto_client_send(client, request, ZELTO_TIMEOUT_DEFAULT, NULL, answer, size, &outcome);
    uint32_t win32_error = 0;
    if (kind == ZELTO_SERVICE_ERROR) {
        const int32_t refusal = zelto_refusal_kind(answer, &win32_error);
        printf("refused, %s (Win32 error %lu): %s\n", zelto_refusal_kind_name(refusal),
               (unsigned long)win32_error, answer + 4);
    } else if (kind != ZELTO_OK) {
        printf("%s%s: %s\n", zelto_error_kind_name(kind),
               outcome.sent ? " (the request may have run)" : "", outcome.message);
    }
    return kind;
}

/* The core's process id, 0 when none runs; -1 when the service could not say. */
static long poll_status(zelto_client* client) {
    char answer[ZELTO_ANSWER_SIZE];
    uint32_t pid = 0;
    if (ask(client, "STATUS", answer, sizeof answer) != ZELTO_OK ||
        !zelto_parse_status(answer, &pid)) {
        return -1;
    }
    printf("core: %s (process %lu)\n", pid != 0 ? "running" : "stopped", (unsigned long)pid);
    return (long)pid;
}

int main(int argc, char** argv) {
    char request[2048], answer[ZELTO_ANSWER_SIZE];
    int failures = 0;
    zelto_client* client = zelto_client_create(); /* kept for every request */
    if (argc != 3 || client == NULL) {
        fprintf(stderr, "usage: gui_client <config.yaml> <mihomo.exe>\n");
        return 64;
    }
    failures += poll_status(client) < 0; /* a GUI polls, say once a second */

    if (zelto_start_request(argv[1], argv[2], request, sizeof request) >= sizeof request) {
        return 1; /* longer than the buffer, or out of memory (SIZE_MAX) */
    }
    failures += ask(client, request, answer, sizeof answer) != ZELTO_OK;
    failures += poll_status(client) <= 0;

    /* A config that does not exist: the kind says which path the user should fix. The running
     * core runs on. */
    zelto_start_request("no-such-config.yaml", argv[2], request, sizeof request);
    failures += ask(client, request, answer, sizeof answer) != ZELTO_SERVICE_ERROR ||
                zelto_refusal_kind(answer, NULL) != ZELTO_REFUSAL_CONFIG_NOT_FOUND;
    failures += poll_status(client) <= 0;

    failures += ask(client, "STOP", answer, sizeof answer) != ZELTO_OK;
    failures += poll_status(client) != 0;
    zelto_client_destroy(client);
    printf("gui_client: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
