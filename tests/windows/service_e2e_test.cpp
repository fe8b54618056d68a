// The built Zelto-service.exe against the real service control manager: install, drive through
// the pipe, stop with sc.exe, uninstall. Each test leaves nothing installed behind it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "ipc/base64.h"
#include "ipc/pipe_name.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr wchar_t SERVICE[] = L"Zelto_service";
// A folder whose path holds a space, so the registered command line must be quoted.
constexpr wchar_t INSTALL_DIR[] = L"C:\\Zelto Test Folder";

std::wstring installed_exe() { return std::wstring(INSTALL_DIR) + L"\\Zelto-service.exe"; }

test::ProcessResult service_verb(const std::wstring& verb) {
    return test::run_process(L"\"" + installed_exe() + L"\" " + verb);
}

// The service's current state, or 0 when it is not installed.
DWORD service_state() {
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                            reinterpret_cast<BYTE*>(&status), sizeof status,
                                            &needed)) {
        return 0;
    }
    return status.dwCurrentState;
}

// How long until the service reports `state`; fails the test after `limit`.
Clock::duration wait_for_state(DWORD state, std::chrono::milliseconds limit = 10s) {
    const auto started = Clock::now();
    EXPECT_TRUE(test::wait_until([&] { return service_state() == state; }, limit))
        << "service state " << service_state() << ", expected " << state;
    return Clock::now() - started;
}

long long in_ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

bool process_alive(DWORD pid) {
    const KernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// Stops and deletes the service whatever state a failed test left it in.
void remove_service() {
    {
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(
            ::OpenServiceW(manager.get(), SERVICE, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) {
            return;
        }
        SERVICE_STATUS status{};
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        test::wait_until([] { return service_state() == SERVICE_STOPPED; }, 10s);
        ::DeleteService(service.get());
    }
    // The deletion completes once the last handle to the service is closed.
    test::wait_until([] { return service_state() == 0; }, 10s);
}

std::string write_file(const std::wstring& path, std::string_view bytes) {
    const KernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return to_utf8(path);
}

bool contains_in_order(const std::vector<std::string>& lines,
                       const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const auto& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end()) {
            return false;
        }
        ++at;
    }
    return true;
}

class ServiceEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        remove_service();
        ::CreateDirectoryW(INSTALL_DIR, nullptr);
        ASSERT_TRUE(::CopyFileW((test::exe_dir() + L"\\Zelto-service.exe").c_str(),
                                installed_exe().c_str(), FALSE));
        // The stand-in core sleeps until it is terminated when its config holds no script.
        config_ = write_file(std::wstring(INSTALL_DIR) + L"\\config.yaml", "");
        core_ = to_utf8(test::exe_dir() + L"\\stand_in_core.exe");
    }

    void TearDown() override { remove_service(); }

    void install_and_wait_running() {
        const auto installed = service_verb(L"install");
        ASSERT_EQ(installed.exit_code, 0u) << installed.err;
        wait_for_state(SERVICE_RUNNING);
        ASSERT_TRUE(test::wait_until([] { return client::send_request("VERSION", 1s).ok(); }));
    }

    std::string config_;
    std::string core_;
};

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

TEST_F(ServiceEndToEnd, InstallRegistersTheServiceAsDesigned) {
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
    EXPECT_TRUE(contains_in_order(
        log.new_lines(),
        {"service_main called", "run_service_inner starting",
         "Registering service control handler for: Zelto_service",
         "Service control handler registered", "Status set to StartPending",
         "Creating IPC server...", "IPC server created", "Status set to Running",
         "Spawning IPC server thread...", "IPC server thread spawned"}));
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

    const auto lines = log.new_lines();
    EXPECT_TRUE(contains_in_order(
        lines, {"[IPC] Received request: VERSION", "[IPC] Sending response: OK|0.1.0",
                "[CORE] start_core called: config=" + config_ + ", core=" + core_,
                "[CORE] Config dir: C:\\Zelto Test Folder",
                "[CORE] Core process spawned with PID: " + std::to_string(pid),
                "[CORE] Core process started successfully", "[IPC] Sending response: OK|Started",
                "[IPC] Sending response: OK|Running|" + std::to_string(pid),
                "[IPC] Sending response: OK|Stopped"}));
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

TEST_F(ServiceEndToEnd, NoVerbFromAConsoleIsNoService) {
    const test::LogTail log;
    const auto run = service_verb(L"");
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "Error: Failed to start service dispatcher: IO error in winapi call\n");
    EXPECT_TRUE(contains_in_order(
        log.new_lines(), {"Service starting, SERVICE_NAME=Zelto_service",
                          "Failed to start service dispatcher: IO error in winapi call"}));
}

}  // namespace
}  // namespace zelto
