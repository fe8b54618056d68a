// The built Zelto-service.exe against the real service control manager: install, drive through
// the pipe, stop with sc.exe, uninstall. Each test leaves nothing installed behind it.

#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "ipc/pipe_name.h"
#include "windows/installed_service.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto {
namespace {

using namespace std::chrono_literals;
using namespace test;

class ServiceEndToEnd : public InstalledServiceTest {};

TEST_F(ServiceEndToEnd, StatusAndUninstallWithNothingInstalled) {
    const auto status = service_verb(L"status");
    EXPECT_EQ(status.exit_code, 0u);
    EXPECT_EQ(status.out, "NotInstalled\n");
    EXPECT_EQ(status.err, "");

    const auto uninstall = service_verb(L"uninstall");
    EXPECT_EQ(uninstall.exit_code, 1u);
    EXPECT_EQ(uninstall.out, "");
    EXPECT_EQ(uninstall.err, "Error: Failed to open service: IO error in winapi call\n");
}

TEST_F(ServiceEndToEnd, InstallRegistersQuotedPathDescriptionAndDemandStart) {
    const test::LogTail log;
    const auto installed = service_verb(L"install");
    EXPECT_EQ(installed.exit_code, 0u) << installed.err;
    EXPECT_EQ(installed.out, "Service installed and started successfully\n");
    wait_for_state(SERVICE_RUNNING);

    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> config_buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_buffer.data());
    ASSERT_TRUE(::QueryServiceConfigW(service.get(), config, needed, &needed));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + installed_exe() + L"\"");
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"Zelto Service");

    ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> description_buffer(needed);
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description_buffer.data());
    ASSERT_TRUE(::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION,
                                       description_buffer.data(), needed, &needed));
    EXPECT_EQ(std::wstring(description->lpDescription), L"Zelto TUN mode helper service");

    const auto status = service_verb(L"status");
    EXPECT_EQ(status.out, "Running\n");

    const auto again = service_verb(L"install");
    EXPECT_EQ(again.exit_code, 1u);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, "Error: Service is already running\n");

    ASSERT_TRUE(test::wait_until([] { return client::send_request("VERSION", 1s).ok(); }));
    ULARGE_INTEGER total{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(L"C:\\Users\\Public\\", nullptr, &total, nullptr));
    EXPECT_TRUE(contains_in_order(
        log.new_lines(), {"service_main called", "run_service_inner starting",
                          "Registering service control handler for: Zelto_service",
                          "Service control handler registered", "Status set to StartPending",
                          "[LOG] Log settings: LogMaxBytes 1073741824 (default), LogKeepFreeBytes "
                          "default (1073741824 or a tenth of the volume): floor " +
                              std::to_string(std::min<ULONGLONG>(1ULL << 30, total.QuadPart / 10)) +
                              " bytes free on the log's volume",
                          "[CORE] Core policy 0 (any core)", "Creating IPC server...",
                          "IPC server created", "Status set to Running",
                          "Spawning IPC server thread...", "IPC server thread spawned"}));
    EXPECT_TRUE(contains_in_order(
        log.new_lines(), {"[IPC] Security descriptor created: "
                          "D:(A;;0x12019b;;;WD)(A;;GA;;;SY)(A;;GA;;;BA) - allows all users"}));

    // Any user may hold the service's process (so its id cannot be reused) and wait for it to
    // end, and do nothing else with it.
    const KernelHandle process(::OpenProcess(READ_CONTROL, FALSE, service_pid()));
    ASSERT_TRUE(process);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetSecurityInfo(process.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &descriptor),
              ERROR_SUCCESS);
    const LocalMemory owner(descriptor);
    std::vector<ACCESS_MASK> authenticated_users;
    for (const auto& [sid, mask] : allowed_aces(descriptor)) {
        if (sid == "S-1-5-11") {
            authenticated_users.push_back(mask);
        }
    }
    EXPECT_EQ(authenticated_users, std::vector<ACCESS_MASK>{SYNCHRONIZE});
}

TEST_F(ServiceEndToEnd, ClientDrivesTheCoreThroughTheService) {
    install_and_wait_running();
    const test::LogTail log;

    EXPECT_EQ(client::send_request("VERSION").value(), "OK|0.1.0");
    EXPECT_EQ(client::send_request(client::start_request(config_, core_)).value(), "OK|Started");
    const std::string running = client::send_request("STATUS").value();
    ASSERT_TRUE(running.starts_with("OK|Running|")) << running;
    const DWORD pid = std::stoul(running.substr(11));
    EXPECT_TRUE(process_alive(pid));

    EXPECT_EQ(client::send_request("STOP").value(), "OK|Stopped");
    EXPECT_FALSE(process_alive(pid));
    EXPECT_EQ(client::send_request("STATUS").value(), "OK|Stopped");

    // Who asked, right after each START and STOP and after nothing else: this process.
    wchar_t user[256];
    DWORD user_size = 256;
    ASSERT_TRUE(::GetUserNameW(user, &user_size));
    const std::string asked =
        "\\" + to_utf8(user) + " (process " + std::to_string(::GetCurrentProcessId()) + ")";
    const auto lines = log.new_lines();
    std::vector<std::string> audited;  // the start of the request line before each audit line
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].starts_with("[IPC] Request from ") && lines[i].ends_with(asked)) {
            audited.push_back(lines[i - 1].substr(0, 30));
        }
    }
    EXPECT_EQ(audited, (std::vector<std::string>{"[IPC] Received request: START|",
                                                 "[IPC] Received request: STOP"}));
    EXPECT_TRUE(contains_in_order(
        lines, {"[IPC] Received request: VERSION", "[IPC] Sending response: OK|0.1.0",
                "[CORE] start_core called: config=" + config_ + ", core=" + core_,
                "[CORE] Config dir: C:\\Zelto Test Folder",
                "[CORE] Core process spawned with PID: " + std::to_string(pid),
                "[CORE] Core process started successfully", "[IPC] Sending response: OK|Started",
                "[IPC] Sending response: OK|Running|" + std::to_string(pid),
                "[IPC] Sending response: OK|Stopped"}));
}

// Z:\tmp is /tmp, which every Unix user may write: a service installed below it could be replaced.
TEST_F(ServiceEndToEnd, InstallRefusesAFolderOthersCanChange) {
    if (!running_under_wine()) {
        GTEST_SKIP() << "needs Wine's Z:\\tmp";
    }
    const std::wstring shared =
        L"Z:\\tmp\\zelto install " + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(shared.c_str(), nullptr);
    const std::wstring exposed = shared + L"\\Zelto-service.exe";
    ASSERT_TRUE(::CopyFileW(installed_exe().c_str(), exposed.c_str(), FALSE));
    const ProcessResult refused = run_process(L"\"" + exposed + L"\" install");
    ::DeleteFileW(exposed.c_str());
    ::RemoveDirectoryW(shared.c_str());
    EXPECT_EQ(refused.exit_code, 1u);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "Error: Other users can change Z:\\tmp: install the service from a "
              "folder only administrators can change, such as C:\\Program "
              "Files\\Zelto\n");
    EXPECT_EQ(service_state(), 0u) << "registered";
}

TEST_F(ServiceEndToEnd, ScStopEndsTheCoreAndStopsPromptly) {
    install_and_wait_running();
    ASSERT_EQ(client::send_request(client::start_request(config_, core_)).value(), "OK|Started");
    const std::string running = client::send_request("STATUS").value();
    const DWORD pid = std::stoul(running.substr(11));

    const auto started = Clock::now();
    const auto stop = test::run_process(L"sc stop Zelto_service");
    wait_for_state(SERVICE_STOPPED);
    const auto took = Clock::now() - started;
    std::printf("sc stop with a core running: STOPPED after %lld ms\n", in_ms(took));
    EXPECT_LT(took, 3s);
    EXPECT_FALSE(process_alive(pid));

    // A stopped service is started again by install, without touching its registration.
    const auto restarted = service_verb(L"install");
    EXPECT_EQ(restarted.exit_code, 0u) << restarted.err;
    EXPECT_EQ(restarted.out, "Service already exists, starting...\nService started successfully\n");
    wait_for_state(SERVICE_RUNNING);
}

TEST_F(ServiceEndToEnd, ScStopWhileAClientHoldsThePipeSilent) {
    install_and_wait_running();
    KernelHandle silent;
    ASSERT_TRUE(test::wait_until([&] {
        silent.reset(::CreateFileW(PIPE_NAME.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        return silent.valid();
    }));

    const auto started = Clock::now();
    test::run_process(L"sc stop Zelto_service");
    wait_for_state(SERVICE_STOPPED);
    const auto took = Clock::now() - started;
    std::printf("sc stop with a silent client: STOPPED after %lld ms\n", in_ms(took));
    EXPECT_LT(took, 3s);
}

TEST_F(ServiceEndToEnd, UninstallStopsAndDeletesARunningService) {
    install_and_wait_running();
    ASSERT_EQ(client::send_request(client::start_request(config_, core_)).value(), "OK|Started");
    const DWORD pid = std::stoul(client::send_request("STATUS").value().substr(11));

    const auto uninstalled = service_verb(L"uninstall");
    EXPECT_EQ(uninstalled.exit_code, 0u) << uninstalled.err;
    EXPECT_EQ(uninstalled.out, "Service uninstalled successfully\n");
    wait_for_state(0);
    EXPECT_FALSE(process_alive(pid));
    EXPECT_EQ(service_verb(L"status").out, "NotInstalled\n");
}

// Zelto-ctl in every situation: its exit code, stdout, and the first line of stderr, which a
// command line it does not understand follows with the usage. Its help carries the README's
// exit-code table. A service that is missing or stopped is told at once, not after the timeout.
TEST_F(ServiceEndToEnd, ZeltoCtlExitCodesAndMessages) {
    const std::wstring ctl = L"\"" + exe_dir() + L"\\Zelto-ctl.exe\" ";
    const auto help = run_process(ctl + L"--help");
    EXPECT_EQ(help.exit_code, 0u);
    const std::string table = help.out.substr(help.out.find("Exit codes:\n"));
    EXPECT_NE(read_file(exe_dir() + L"\\README.md").find("\n" + table), std::string::npos) << table;

    struct Row {
        std::wstring arguments;
        DWORD exit_code;
        std::string out;
        std::string first_err_line;
        bool usage = false;
    };
    auto check = [&](const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            SCOPED_TRACE(to_utf8(row.arguments));
            const auto started = Clock::now();
            const auto result = run_process(ctl + row.arguments);
            EXPECT_LT(Clock::now() - started, 2s);
            EXPECT_EQ(result.exit_code, row.exit_code) << result.err;
            EXPECT_EQ(result.out, row.out);
            EXPECT_EQ(result.err.substr(0, result.err.find('\n')), row.first_err_line);
            EXPECT_EQ(result.err.find("\nUsage:\n") != std::string::npos, row.usage);
        }
    };
    const std::string not_sent = ", so it was not sent";
    check({
        {L"version", 2, "", "Zelto-ctl: the Zelto_service service is not installed"},
        {L"", 64, "", "Zelto-ctl: no command given", true},
        {L"help", 64, "", "Zelto-ctl: unknown command: help", true},
        {L"STATUS", 2, "", "Zelto-ctl: the Zelto_service service is not installed"},
        {L"--timeout 0 Status", 64, "",
         "Zelto-ctl: --timeout: not a number of milliseconds from 1 to 4294967294: 0", true},
        {L"start only-one-path", 64, "", "Zelto-ctl: start: missing <core executable>", true},
        {L"stop now", 64, "", "Zelto-ctl: stop: extra argument: now", true},
        {L"raw \"\"", 64, "",
         "Zelto-ctl: the request is empty; the service answers none" + not_sent},
        {L"raw " + std::wstring(4097, L'X'), 64, "",
         "Zelto-ctl: the request is 4097 bytes long; the service reads at most 4096" + not_sent},
    });
    install_and_wait_running();
    const std::wstring config = to_wide(config_), core = to_wide(core_);
    check({
        {L"version", 0, "OK|0.1.0\n", ""},
        {L"raw status", 1, "ERR|Unknown command: status\n", ""},
        {L"start \"" + config + L"\" \"" + core + L"\"", 0, "OK|Started\n", ""},
        {L"start C:\\missing.yaml \"" + core + L"\"", 1,
         "ERR|Config file not found: C:\\missing.yaml\n", ""},
        {L"--timeout 3000 Stop", 0, "OK|Stopped\n", ""},
        {L"status", 0, "OK|Stopped\n", ""},
    });
    run_process(L"sc stop Zelto_service");
    wait_for_state(SERVICE_STOPPED);
    check({{L"status", 2, "", "Zelto-ctl: the Zelto_service service is not running"}});
}

// This administrator's token made a standard user's, impersonated by the calling thread while the
// object lives: Administrators for deny only, no privileges (none may bypass a descriptor),
// medium integrity.
class StandardUser {
  public:
    StandardUser() {
        HANDLE raw = nullptr;
        ::OpenProcessToken(::GetCurrentProcess(),
                           TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY |
                               TOKEN_ADJUST_DEFAULT | TOKEN_IMPERSONATE,
                           &raw);
        const KernelHandle own(raw);
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        BYTE medium[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators;
        ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
        size = sizeof medium;
        ::CreateWellKnownSid(WinMediumLabelSid, nullptr, medium, &size);
        SID_AND_ATTRIBUTES deny_only{administrators, 0};
        raw = nullptr;
        ::CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, 1, &deny_only, 0, nullptr, 0,
                                nullptr, &raw);
        const KernelHandle restricted(raw);
        TOKEN_MANDATORY_LABEL label{{medium, SE_GROUP_INTEGRITY}};
        impersonating_ = restricted &&
                         ::SetTokenInformation(restricted.get(), TokenIntegrityLevel, &label,
                                               sizeof label + ::GetLengthSid(medium)) &&
                         ::ImpersonateLoggedOnUser(restricted.get());
    }
    ~StandardUser() {
        if (impersonating_) {
            ::RevertToSelf();
        }
    }
    StandardUser(const StandardUser&) = delete;
    StandardUser& operator=(const StandardUser&) = delete;

    bool impersonating() const { return impersonating_; }

  private:
    bool impersonating_ = false;
};

// What the pipe's, the service's and the service process's descriptors admit of a standard user:
// enough to ask and to wait, nothing to take over, start, stop, end or read the service.
TEST_F(ServiceEndToEnd, StandardUserGetsOnlyWhatTheDescriptorsGrant) {
    if (running_under_wine()) {
        GTEST_SKIP() << "needs Windows: every Wine process runs as one user and Wine keeps no "
                        "service descriptor, so no access is ever refused";
    }
    install_and_wait_running();
    const DWORD pid = service_pid();
    std::string answer;
    // Each returns ERROR_SUCCESS when the object opened with `access`, or why it did not.
    auto open_pipe = [&](ACCESS_MASK access) {
        KernelHandle pipe;
        DWORD error = ERROR_SUCCESS;
        wait_until([&] {
            pipe.reset(
                ::CreateFileW(PIPE_NAME.data(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            error = pipe ? ERROR_SUCCESS : ::GetLastError();
            return error != ERROR_PIPE_BUSY;
        });
        if (pipe && (access & GENERIC_WRITE) != 0) {
            DWORD moved = 0;
            ::WriteFile(pipe.get(), "STATUS", 6, &moved, nullptr);
            char buffer[256];
            while (::ReadFile(pipe.get(), buffer, sizeof buffer, &moved, nullptr) && moved > 0) {
                answer.append(buffer, moved);
            }
        }
        return error;
    };
    auto open_service = [](ACCESS_MASK access) {
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, access));
        return service ? ERROR_SUCCESS : ::GetLastError();
    };
    auto open_process = [&](ACCESS_MASK access) {
        const KernelHandle process(::OpenProcess(access, FALSE, pid));
        return process ? ERROR_SUCCESS : ::GetLastError();
    };
    struct Admission {
        const char* what;
        std::function<DWORD(ACCESS_MASK)> open;
        ACCESS_MASK access;
        bool granted;
    };
    const Admission admissions[] = {
        {"pipe, WRITE_DAC", open_pipe, WRITE_DAC, false},
        {"pipe, GENERIC_READ | GENERIC_WRITE", open_pipe, GENERIC_READ | GENERIC_WRITE, true},
        {"service, SERVICE_QUERY_STATUS", open_service, SERVICE_QUERY_STATUS, true},
        {"service, SERVICE_START", open_service, SERVICE_START, false},
        {"service, SERVICE_STOP", open_service, SERVICE_STOP, false},
        {"process, SYNCHRONIZE", open_process, SYNCHRONIZE, true},
        {"process, PROCESS_TERMINATE", open_process, PROCESS_TERMINATE, false},
        {"process, PROCESS_VM_READ", open_process, PROCESS_VM_READ, false},
    };
    const StandardUser user;
    ASSERT_TRUE(user.impersonating()) << ::GetLastError();
    for (const Admission& admission : admissions) {
        EXPECT_EQ(admission.open(admission.access),
                  admission.granted ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_ACCESS_DENIED))
            << admission.what;
    }
    EXPECT_EQ(answer, "OK|Stopped");
}

// Runs `command_line` and returns its exit code, or 0xDEAD while it still runs after `limit`. It
// gets no handle of this process: what it leaves running (the service, which the MSI starts) must
// not hold output pipes that a caller waits on.
DWORD run_without_handles(std::wstring command_line, std::chrono::milliseconds limit) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &info)) {
        return ::GetLastError();
    }
    const KernelHandle process(info.hProcess), thread(info.hThread);
    DWORD exit_code = 0xDEAD;
    if (::WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process.get(), &exit_code);
    }
    return exit_code;
}

// A major upgrade removes the older product, service included, and registers the newer one. What
// an administrator set must survive it: the service registered, running, at its start type.
TEST(MsiUpgrade, KeepsTheServiceRunningAtItsStartType) {
    if (running_under_wine()) {
        GTEST_SKIP() << "needs Windows: Wine's msiexec runs RemoveExistingProducts at once, "
                        "whatever its place in the sequence";
    }
    // The release MSI and a higher version of it, from scripts/package --test-msis; the names
    // sort by version.
    std::vector<std::wstring> msis;
    WIN32_FIND_DATAW found{};
    const FindHandle search(::FindFirstFileW((exe_dir() + L"\\Zelto-*-x64.msi").c_str(), &found));
    for (bool more = search.valid(); more; more = ::FindNextFileW(search.get(), &found)) {
        msis.push_back(exe_dir() + L"\\" + found.cFileName);
    }
    if (msis.size() != 2) {
        GTEST_SKIP() << "needs the two MSIs of scripts/package --test-msis beside the tests";
    }
    std::sort(msis.begin(), msis.end());
    auto msiexec = [](const std::wstring& action, const std::wstring& msi) {
        return run_without_handles(L"msiexec " + action + L" \"" + msi + L"\" /qn", 5min);
    };
    // Whatever fails below, neither product stays installed.
    struct Removal {
        std::function<void()> remove;
        ~Removal() { remove(); }
    } removal{[&] {
        for (const std::wstring& msi : msis) {
            msiexec(L"/x", msi);
        }
    }};

    ASSERT_EQ(msiexec(L"/i", msis[0]), 0u);
    wait_for_state(SERVICE_RUNNING);
    {
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_CHANGE_CONFIG));
        ASSERT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                                           SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr))
            << ::GetLastError();
    }
    ASSERT_EQ(msiexec(L"/i", msis[1]), 0u);

    wait_for_state(SERVICE_RUNNING);
    EXPECT_EQ(answer_text(client::send_request("VERSION")), "OK|" ZELTO_PROJECT_VERSION);
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_CONFIG));
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(::QueryServiceConfigW(service.get(), config, needed, &needed));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_TRUE(std::wstring(config->lpBinaryPathName).ends_with(L"\\Zelto\\Zelto-service.exe\""))
        << to_utf8(config->lpBinaryPathName);
}

TEST_F(ServiceEndToEnd, NoVerbFromAConsoleIsNoService) {
    const test::LogTail log;
    const auto run = service_verb(L"");
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error: Failed to start service dispatcher: IO error in winapi call\n");
    EXPECT_TRUE(contains_in_order(log.new_lines(),
                                  {"Service starting, SERVICE_NAME=Zelto_service",
                                   "Failed to start service dispatcher: IO error in winapi call"}));
}

// Activation contexts (CreateActCtxW), which fail with INVALID_HANDLE_VALUE.
struct ActivationContextTraits {
    using pointer = HANDLE;
    static pointer none() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(pointer h) noexcept { return h != INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::ReleaseActCtx(h); }
};

// As Windows 10 and Wine lay it out; MinGW's header still lacks MaxVersionTested.
struct CompatibilityInformation {
    DWORD count;
    struct {
        GUID id;
        ACTCTX_COMPATIBILITY_ELEMENT_TYPE type;
        ULONGLONG max_version_tested;
    } elements[4];
};

// What Properties, Details shows of each shipped executable and of the client DLL, and an
// executable's manifest as the loader parses it (a manifest it cannot parse stops the executable
// from starting on Windows).
TEST(ShippedExecutables, CarryVersionInformationAndManifest) {
    constexpr GUID WINDOWS_10_AND_11 = {
        0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}};
    const std::wstring version = L"" ZELTO_PROJECT_VERSION;
    const std::wstring rows[][2] = {{L"Zelto-service.exe", L"Zelto TUN mode helper service"},
                                    {L"Zelto-ctl.exe", L"Zelto service control client"},
                                    {L"zelto_client.dll", L"Zelto service client library"}};
    EXPECT_EQ(to_wide(client::LIBRARY_VERSION), version);
    for (const auto& [exe, description] : rows) {
        SCOPED_TRACE(to_utf8(exe));
        const std::wstring path = exe_dir() + L"\\" + exe;
        std::vector<BYTE> info(::GetFileVersionInfoSizeW(path.c_str(), nullptr));
        ASSERT_FALSE(info.empty());
        ASSERT_TRUE(
            ::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
        const auto text = [&](const std::wstring& name) {
            wchar_t* value = nullptr;
            UINT length = 0;
            const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
            return ::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value),
                                    &length)
                       ? std::wstring(value)
                       : L"(missing)";
        };
        EXPECT_EQ(text(L"ProductName"), L"Zelto service");
        EXPECT_EQ(text(L"FileDescription"), description);
        EXPECT_EQ(text(L"OriginalFilename"), exe);
        EXPECT_EQ(text(L"FileVersion"), version);
        EXPECT_EQ(text(L"ProductVersion"), version);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(
            ::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                      std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                      std::to_wstring(HIWORD(fixed->dwFileVersionLS)),
                  version);
        const bool dll = exe.ends_with(L".dll");
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(dll ? VFT_DLL : VFT_APP));
        if (dll) {
            continue;
        }

        ACTCTXW request{};
        request.cbSize = sizeof(request);
        request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.lpSource = path.c_str();
        request.lpResourceName = CREATEPROCESS_MANIFEST_RESOURCE_ID;
        const UniqueHandle<ActivationContextTraits> context(::CreateActCtxW(&request));
        ASSERT_TRUE(context) << "no manifest the loader accepts, error " << ::GetLastError();
        ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level{};
        ASSERT_TRUE(::QueryActCtxW(0, context.get(), nullptr,
                                   RunlevelInformationInActivationContext, &level, sizeof(level),
                                   nullptr));
        EXPECT_EQ(level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
        CompatibilityInformation compatibility{};
        ASSERT_TRUE(::QueryActCtxW(0, context.get(), nullptr,
                                   CompatibilityInformationInActivationContext, &compatibility,
                                   sizeof(compatibility), nullptr));
        ASSERT_EQ(compatibility.count, 1u);
        EXPECT_TRUE(::IsEqualGUID(compatibility.elements[0].id, WINDOWS_10_AND_11));
    }
}

}  // namespace
}  // namespace zelto
