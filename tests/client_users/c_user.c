/* zelto_client.dll from C, as a GUI in any language uses it: its header and import library only.
 * scripts/test runs it under Wine in the build's prefix, with no service installed:
 *   c_user.exe <Zelto-service.exe> <stand_in_core.exe> <gui_client.exe>
 * It installs the service, drives it, runs the example against it, removes it again, and exits
 * 0 when every check held. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "zelto_client_c.h"

static int failures = 0;

static void check(int holds, const char* what) {
    printf("%s: %s\n", holds ? "ok" : "FAILED", what);
    failures += !holds;
}

/* Sends `request` and checks the outcome's kind and sent flag. */
static void expect(zelto_client* client, const char* request, uint32_t timeout_ms,
                   const zelto_cancel* cancel, int32_t kind, int32_t sent, const char* what) {
    char answer[ZELTO_ANSWER_SIZE];
    zelto_outcome outcome;
    const int32_t got =
        client ? zelto_client_send(client, request, timeout_ms, cancel, answer, sizeof answer,
                                   &outcome)
               : zelto_send(request, timeout_ms, cancel, answer, sizeof answer, &outcome);
    check(got == kind && outcome.kind == kind && outcome.sent == sent, what);
    if (got != kind || outcome.sent != sent) {
        printf("  got %s (sent %d): %s\n", zelto_error_kind_name(got), (int)outcome.sent,
               outcome.message);
    }
}

/* Runs a command line to its end, its output discarded; its exit code. */
static DWORD run(const char* command_line) {
    char line[1024];
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, NULL);
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    DWORD code = 0xDEAD;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul;
    snprintf(line, sizeof line, "%s", command_line);
    if (CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(nul);
    return code;
}

/* Polls VERSION for up to 10 s until it ends in `kind`. */
static int32_t wait_for(int32_t kind) {
    int32_t got = -1;
    for (int i = 0; i < 1000 && got != kind; ++i, Sleep(10)) {
        got = zelto_send("VERSION", 1000, NULL, NULL, 0, NULL);
    }
    return got;
}

/* One of four client objects making their first requests at once. */
struct racer {
    HANDLE go;
    int failures;
};

static DWORD WINAPI status_twice(void* context) {
    struct racer* racer = context;
    zelto_client* client = zelto_client_create();
    WaitForSingleObject(racer->go, INFINITE);
    for (int i = 0; i < 2; ++i) {
        zelto_outcome outcome;
        const int32_t kind = zelto_client_send(client, "STATUS", 0, NULL, NULL, 0, &outcome);
        if (kind != ZELTO_OK || !outcome.sent) {
            printf("  %s (sent %d): %s\n", zelto_error_kind_name(kind), (int)outcome.sent,
                   outcome.message);
            ++racer->failures;
        }
    }
    zelto_client_destroy(client);
    return 0;
}

/* Rounds of four new client objects on four threads, released together: each behaves as one
 * alone would. */
static int status_at_once(int rounds) {
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        struct racer racers[4];
        HANDLE threads[4];
        HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
        for (int i = 0; i < 4; ++i) {
            racers[i].go = go;
            racers[i].failures = 0;
            threads[i] = CreateThread(NULL, 0, status_twice, &racers[i], 0, NULL);
        }
        Sleep(20);
        SetEvent(go);
        WaitForMultipleObjects(4, threads, TRUE, INFINITE);
        for (int i = 0; i < 4; ++i) {
            failures += racers[i].failures;
            CloseHandle(threads[i]);
        }
        CloseHandle(go);
    }
    return failures;
}

int main(int argc, char** argv) {
    char service[600], command[700], request[2048], answer[ZELTO_ANSWER_SIZE], version[16];
    zelto_outcome outcome;
    uint32_t pid = 1;
    if (argc != 4) {
        fprintf(stderr, "usage: c_user <Zelto-service.exe> <stand_in_core.exe> <gui_client.exe>\n");
        return 64;
    }
    snprintf(service, sizeof service, "\"%s\"", argv[1]);

    check(strcmp(zelto_library_version(), "0.1.0") == 0, "library version");
    check(strcmp(zelto_protocol_version(), "0.1.0") == 0, "protocol version");
    check(zelto_protocol_compatible("0.1.3") && !zelto_protocol_compatible("0.2.0"),
          "protocol compatibility");
    check(strcmp(zelto_error_kind_name(ZELTO_TIMED_OUT), "TIMED_OUT") == 0 &&
              strcmp(zelto_error_kind_name(99), "UNKNOWN") == 0,
          "error kind names");
    check(strcmp(zelto_log_path(), "C:\\Users\\Public\\velmora-service.log") == 0, "log path");

    expect(NULL, "STATUS", ZELTO_TIMEOUT_DEFAULT, NULL, ZELTO_NOT_INSTALLED, 0, "not installed");
    /* The service control manager takes longer than 1 ms to answer. */
    expect(NULL, "STATUS", 1, NULL, ZELTO_TIMED_OUT, 0, "timed out while the manager answers");

    {
        /* Another process holds the name when the service starts: the client refuses it. */
        HANDLE impostor = CreateNamedPipeA("\\\\.\\pipe\\Zelto_service", PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, NULL);
        snprintf(command, sizeof command, "%s install", service);
        check(run(command) == 0, "installed");
        check(wait_for(ZELTO_IMPOSTOR) == ZELTO_IMPOSTOR, "impostor refused");
        CloseHandle(impostor);
        check(wait_for(ZELTO_OK) == ZELTO_OK, "served once the name is free");
    }
    check(status_at_once(10) == 0, "four clients at once, 10 rounds: every STATUS OK and sent");

    {
        /* The stand-in core runs until it is stopped when its config file is empty. */
        FILE* config = fopen("config.yaml", "w");
        zelto_client* client = zelto_client_create();
        zelto_cancel* cancel = zelto_cancel_create();
        uint32_t error = 1;
        const size_t length = zelto_start_request("config.yaml", argv[2], request, sizeof request);
        if (config) {
            fclose(config);
        }
        check(length < sizeof request && strncmp(request, "START|", 6) == 0, "START built");
        check(zelto_client_send(client, request, ZELTO_TIMEOUT_DEFAULT, NULL, answer, sizeof answer,
                                &outcome) == ZELTO_OK &&
                  strcmp(answer, "OK|Started") == 0,
              "START answered OK|Started");
        zelto_client_send(client, "STATUS", 0, NULL, answer, sizeof answer, &outcome);
        check(zelto_parse_status(answer, &pid) && pid != 0, "STATUS running with a pid");
        zelto_client_send(client, "STOP", 0, NULL, answer, sizeof answer, &outcome);
        zelto_client_send(client, "STATUS", 0, NULL, answer, sizeof answer, &outcome);
        check(zelto_parse_status(answer, &pid) && pid == 0, "STATUS stopped after STOP");
        zelto_client_send(client, "VERSION", 0, NULL, answer, 4, &outcome);
        check(strcmp(answer, "OK|") == 0 && outcome.answer_length == 8, "answer cut to fit");
        zelto_client_send(client, "VERSION", 0, NULL, answer, sizeof answer, &outcome);
        check(zelto_parse_version(answer, version, sizeof version) &&
                  zelto_protocol_compatible(version),
              "VERSION compatible");
        expect(client, "status", 0, NULL, ZELTO_SERVICE_ERROR, 1, "ERR| answer");
        zelto_client_send(client, "status", 0, NULL, answer, sizeof answer, &outcome);
        check(zelto_refusal_kind(answer, &error) == ZELTO_REFUSAL_NOT_UNDERSTOOD && error == 0 &&
                  strcmp(zelto_refusal_kind_name(6), "NOT_UNDERSTOOD") == 0,
              "an unknown command is a request not understood");
        /* A text file is no program: the launch fails with the system's error number. */
        zelto_start_request("config.yaml", "config.yaml", request, sizeof request);
        zelto_client_send(client, request, 0, NULL, answer, sizeof answer, &outcome);
        check(zelto_refusal_kind(answer, &error) == ZELTO_REFUSAL_LAUNCH_FAILED && error == 193 &&
                  strstr(answer, "%1") == NULL,
              "a launch failure with its Win32 error, the system's text filled in");
        zelto_cancel_request(cancel);
        expect(client, "STATUS", 0, cancel, ZELTO_CANCELLED, 0, "a cancel stays cancelled");
        zelto_cancel_destroy(cancel);
        zelto_client_destroy(client);
    }
    snprintf(command, sizeof command, "\"%s\" config.yaml \"%s\"", argv[3], argv[2]);
    check(run(command) == 0, "the example ran against the service");

    run("sc stop Zelto_service");
    check(wait_for(ZELTO_NOT_RUNNING) == ZELTO_NOT_RUNNING, "not running after sc stop");
    snprintf(command, sizeof command, "%s uninstall", service);
    run(command);
    printf("c_user: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
