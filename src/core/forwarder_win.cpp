#include "core/forwarder_win.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/win_text.h"
#include "core/output_lines.h"
#include "log/log.h"

namespace zelto {

namespace {

// Where the completion routine leaves the outcome of one read; the OVERLAPPED's event field
// carries its address, since ReadFileEx does not use the event.
struct ReadCompletion {
    DWORD error = 0;
    DWORD bytes = 0;
    bool done = false;
};

void CALLBACK on_read_done(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
    auto* completion = static_cast<ReadCompletion*>(overlapped->hEvent);
    completion->error = error;
    completion->bytes = bytes;
    completion->done = true;
}

bool is_end_of_stream(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

ReadOutcome read_once(HANDLE read_end, char* buffer, std::size_t capacity) {
    ReadCompletion completion;
    OVERLAPPED overlapped{};
    overlapped.hEvent = &completion;
    if (!::ReadFileEx(read_end, buffer, static_cast<DWORD>(capacity), &overlapped, on_read_done)) {
        const DWORD error = ::GetLastError();
        return {is_end_of_stream(error) ? ReadOutcome::Kind::END_OF_STREAM
                                        : ReadOutcome::Kind::READ_FAILED,
                0};
    }
    // The routine runs only inside an alertable wait of this thread.
    while (!completion.done) {
        ::SleepEx(INFINITE, TRUE);
    }
    if (is_end_of_stream(completion.error)) {
        return {ReadOutcome::Kind::END_OF_STREAM, 0};
    }
    if (completion.error != ERROR_SUCCESS) {
        return {ReadOutcome::Kind::READ_FAILED, 0};
    }
    return {ReadOutcome::Kind::DATA, completion.bytes};
}

struct ForwarderStart {
    KernelHandle read_end;
    std::string prefix;
    std::shared_ptr<CoreExit> exit;  // told when the stream has ended
};

DWORD WINAPI forwarder_thread(void* parameter) {
    const std::unique_ptr<ForwarderStart> start(static_cast<ForwarderStart*>(parameter));
    forward_output(std::move(start->read_end), start->prefix);
    if (start->exit) {
        start->exit->stream_ended();
    }
    return 0;
}

// -1: no failure planned.
std::atomic<int> successes_before_failure{-1};
std::atomic<DWORD> planned_failure{0};

// The planned failure's code when this creation is the one to fail, else 0.
DWORD take_planned_failure() {
    int left = successes_before_failure.load();
    while (left >= 0 && !successes_before_failure.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0 && planned_failure.load() == FAIL_BY_EXCEPTION) {
        throw std::bad_alloc();
    }
    return left == 0 ? planned_failure.load() : 0;
}

}  // namespace

CoreExit::CoreExit(HANDLE process) : pid_(::GetProcessId(process)) {
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &copy,
                      SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
    process_.reset(copy);
}

void CoreExit::stream_ended(DWORD limit) {
    if (--streams_ != 0) {
        return;
    }
    try {
        DWORD code = 0;
        if (process_ && ::WaitForSingleObject(process_.get(), limit) == WAIT_OBJECT_0 &&
            ::GetExitCodeProcess(process_.get(), &code)) {
            log_core(core_exit_message(pid_, code, ended_by_service_));
        }
    } catch (...) {
        // Out of memory for the line: it is lost like any line that cannot be written.
    }
}

void forward_output(KernelHandle read_end, const std::string& prefix) {
    try {
        // The lines of one read go to the log together, and are written before the next read.
        std::vector<std::string> lines;
        auto hand_over = [&] {
            log_core_lines(lines);
            lines.clear();
        };
        forward_lines(
            [&](char* buffer, std::size_t capacity) {
                hand_over();
                return read_once(read_end.get(), buffer, capacity);
            },
            [&](std::string_view line) {
                lines.emplace_back(prefix);
                lines.back().append(line);
            });
        hand_over();
    } catch (...) {
        // Out of memory for a line: this stream's forwarding ends; the read end still closes.
    }
}

ErrorText start_output_forwarder(KernelHandle read_end, std::string prefix,
                                 std::shared_ptr<CoreExit> exit) {
    auto start = std::make_unique<ForwarderStart>(
        ForwarderStart{std::move(read_end), std::move(prefix), std::move(exit)});
    if (const DWORD error = take_planned_failure(); error != 0) {
        return system_error_text(error);
    }
    // Detached: the handle closes right away; nobody waits for the thread or stops it.
    const KernelHandle thread(
        ::CreateThread(nullptr, 0, forwarder_thread, start.get(), 0, nullptr));
    if (!thread) {
        return system_error_text(::GetLastError());
    }
    static_cast<void>(start.release());  // the thread owns it now
    return std::nullopt;
}

void fail_forwarder_thread_after(int successes, DWORD error) {
    planned_failure.store(error);
    successes_before_failure.store(successes);
}

}  // namespace zelto
