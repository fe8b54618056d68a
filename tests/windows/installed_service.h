#pragma once
// The built Zelto-service.exe installed into the test prefix under the real service control
// manager: install, state, removal. Every test that uses it leaves nothing installed behind it.

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "windows/service_control.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto::test {

using Clock = std::chrono::steady_clock;

// A folder whose path holds a space, so the registered command line must be quoted.
inline constexpr wchar_t INSTALL_DIR[] = L"C:\\Zelto Test Folder";

inline std::wstring installed_exe() {
    return std::wstring(INSTALL_DIR) + L"\\Zelto-service.exe";
}

inline ProcessResult service_verb(const std::wstring& verb) {
    return run_process(L"\"" + installed_exe() + L"\" " + verb);
}

// How long until the service reports `state`; fails the test after `limit`.
inline Clock::duration wait_for_state(DWORD state,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto started = Clock::now();
    EXPECT_TRUE(wait_until([&] { return service_state() == state; }, limit))
        << "service state " << service_state() << ", expected " << state;
    return Clock::now() - started;
}

inline long long in_ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

inline bool process_alive(DWORD pid) {
    const KernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// Writes `bytes` as the whole file; returns the path in UTF-8.
inline std::string write_file(const std::wstring& path, std::string_view bytes) {
    const KernelHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return to_utf8(path);
}

inline bool contains_in_order(const std::vector<std::string>& lines,
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

// Gives the folder an owner and a DACL in SDDL, not inherited, passed on to what it holds.
inline DWORD set_folder_dacl(const std::wstring& folder, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        return ::GetLastError();
    }
    const LocalMemory owner(descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr);
}

// Copies the built service into INSTALL_DIR before each test and removes the service after it.
class InstalledServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        remove_service();
        ::CreateDirectoryW(INSTALL_DIR, nullptr);
        // A folder made under C:\ lets users change it on Windows, as no install location may.
        ASSERT_EQ(set_folder_dacl(INSTALL_DIR, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"),
                  ERROR_SUCCESS);
        ASSERT_TRUE(::CopyFileW((exe_dir() + L"\\Zelto-service.exe").c_str(),
                                installed_exe().c_str(), FALSE));
        // The stand-in core sleeps until it is terminated when its config holds no script.
        config_ = write_file(std::wstring(INSTALL_DIR) + L"\\config.yaml", "");
        core_ = to_utf8(exe_dir() + L"\\stand_in_core.exe");
    }

    void TearDown() override { remove_service(); }

    void install_and_wait_running() {
        const auto installed = service_verb(L"install");
        ASSERT_EQ(installed.exit_code, 0u) << installed.err;
        wait_for_state(SERVICE_RUNNING);
        ASSERT_TRUE(wait_until(
            [] { return client::send_request("VERSION", std::chrono::seconds(1)).ok(); }));
    }

    std::string config_;
    std::string core_;
};

}  // namespace zelto::test
