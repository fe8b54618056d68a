// The installer verbs against Wine's service control manager, on a registration of our own whose
// program does not exist, so nothing here needs the service executable.

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "common/result.h"
#include "common/unique_handle.h"
#include "common/win_text.h"
#include "install/install.h"
#include "main/command_line.h"
#include "main/entry.h"
#include "common/identity.h"
#include "windows/capture_output.h"
#include "windows/test_support.h"

namespace zelto {
namespace {

const std::wstring MISSING_PROGRAM = L"\"C:\\no such folder\\missing service.exe\"";

ServiceHandle open_manager() {
    return ServiceHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

bool service_exists() {
    const ServiceHandle manager = open_manager();
    const ServiceHandle service(
        ::OpenServiceW(manager.get(), to_wide(SERVICE_NAME).c_str(), SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

std::wstring registered_program() {
    const ServiceHandle manager = open_manager();
    const ServiceHandle service(
        ::OpenServiceW(manager.get(), to_wide(SERVICE_NAME).c_str(), SERVICE_QUERY_CONFIG));
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed)) {
        return {};
    }
    return config->lpBinaryPathName;
}

struct VerbOutput {
    ErrorText error;
    std::string out;
    std::string err;
};

template <typename Verb>
VerbOutput run_verb(Verb verb) {
    VerbOutput result;
    const test::CapturedOutput output = test::capture_output(verb, result.error);
    result.out = output.out;
    result.err = output.err;
    return result;
}

class InstallVerbs : public ::testing::Test {
  protected:
    void SetUp() override {
        if (service_exists()) {
            GTEST_SKIP() << "a service named " << SERVICE_NAME << " is already registered";
        }
    }

    void TearDown() override {
        const ServiceHandle manager = open_manager();
        const ServiceHandle service(
            ::OpenServiceW(manager.get(), to_wide(SERVICE_NAME).c_str(), DELETE));
        if (service && created_) {
            ::DeleteService(service.get());
        }
    }

    void register_missing_program() {
        const ServiceHandle manager = open_manager();
        const ServiceHandle service(::CreateServiceW(
            manager.get(), to_wide(SERVICE_NAME).c_str(), L"test registration", SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
            MISSING_PROGRAM.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << "CreateServiceW failed: " << ::GetLastError();
        created_ = true;
    }

    bool created_ = false;
};

TEST_F(InstallVerbs, StoppedServiceIsStartedNotReconfiguredThenDeletedAtOnce) {
    register_missing_program();

    const VerbOutput status = run_verb(query_service_status);
    EXPECT_FALSE(status.error);
    EXPECT_EQ(status.out, "Stopped\n");

    // An existing stopped service is only started; its program cannot run, so the start fails
    // after the progress line, which stays written.
    const VerbOutput install = run_verb(install_service);
    EXPECT_EQ(install.error, "Failed to start service: IO error in winapi call");
    EXPECT_EQ(install.out, "Service already exists, starting...\n");
    EXPECT_EQ(registered_program(), MISSING_PROGRAM);

    const VerbOutput uninstall = run_verb(uninstall_service);
    EXPECT_FALSE(uninstall.error) << *uninstall.error;
    EXPECT_EQ(uninstall.out, "Service uninstalled successfully\n");
    EXPECT_FALSE(service_exists());

    const VerbOutput after = run_verb(query_service_status);
    EXPECT_EQ(after.out, "NotInstalled\n");
}

// What install gives each grantee of the service (Windows alone enforces it; Wine keeps no
// service descriptor): the default's grants unchanged, and the read rights, SERVICE_QUERY_STATUS
// among them, for every authenticated user, so the client's server check works in any logon.
TEST(ServiceDescriptor, GrantsTheDefaultAndReadRightsToAuthenticatedUsers) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        SERVICE_SDDL.data(), SDDL_REVISION_1, &descriptor, nullptr));
    const LocalMemory owner(descriptor);
    constexpr ACCESS_MASK READ = READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                 SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE;
    const std::vector<std::pair<std::string, ACCESS_MASK>> expected = {
        {"S-1-5-18", READ | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                         SERVICE_USER_DEFINED_CONTROL},    // LocalSystem
        {"S-1-5-32-544", SERVICE_ALL_ACCESS},              // Administrators
        {"S-1-5-4", READ | SERVICE_USER_DEFINED_CONTROL},  // Interactive
        {"S-1-5-6", READ | SERVICE_USER_DEFINED_CONTROL},  // Service logons
        {"S-1-5-11", READ},                                // Authenticated Users
    };
    EXPECT_EQ(test::allowed_aces(descriptor), expected);
}

struct EntryCase {
    const wchar_t* command_line;
    int exit_code;
    const char* out;
    const char* err;
};

// The entry's console conventions for the actions that need no service: the usage text on
// standard output with exit code 0, and a failing verb's one error line with exit code 1.
TEST_F(InstallVerbs, EntryWritesExactBytesAndExitCode) {
    const std::string usage = usage_text();
    const EntryCase cases[] = {
        {L"Zelto-service.exe help", 0, usage.c_str(), ""},
        {L"renamed.exe Status", 0, usage.c_str(), ""},
        {L"\"C:\\a b\\x.exe\" \"install \" install", 0, usage.c_str(), ""},
        // An unpaired surrogate is no verb.
        {L"x.exe \xD800tatus", 0, usage.c_str(), ""},
        {L"x.exe uninstall", 1, "", "Error: Failed to open service: IO error in winapi call\n"},
    };
    for (const EntryCase& c : cases) {
        int exit_code = -1;
        const test::CapturedOutput output =
            test::capture_output([&] { return run_entry(c.command_line); }, exit_code);
        const std::string shown = to_utf8(c.command_line);
        EXPECT_EQ(exit_code, c.exit_code) << shown;
        EXPECT_EQ(output.out, c.out) << shown;
        EXPECT_EQ(output.err, c.err) << shown;
    }
}

}  // namespace
}  // namespace zelto
