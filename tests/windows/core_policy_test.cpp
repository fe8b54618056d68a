// The administrator's core policy: the file a START is judged by, and the service under
// CorePolicy set with reg add before it starts. Wine gives every file the owner and DACL it
// synthesises from the Unix mode (the owner is the one user every process runs as, which is the
// service's own account), so it shows the list and a folder everyone may write, nothing finer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/core_policy_win.h"
#include "ipc/base64.h"
#include "windows/installed_service.h"

namespace zelto {
namespace {

using namespace test;

class CorePolicyEndToEnd : public InstalledServiceTest {
  protected:
    void SetUp() override {
        InstalledServiceTest::SetUp();
        for (const std::wstring& copy : {listed_, other_}) {
            ASSERT_TRUE(::CopyFileW(stand_in.c_str(), copy.c_str(), FALSE));
        }
    }

    void TearDown() override {
        InstalledServiceTest::TearDown();
        for (const wchar_t* value : {L"CorePolicy", L"AllowedCores"}) {
            run_process(std::wstring(L"reg delete ") + KEY + L" /v " + value + L" /f");
        }
    }

    // Starts the service under the policy, then sends each START and checks its answer: a core
    // that starts replaces the one before, a refused one leaves it running.
    void check(const std::wstring& policy, const std::wstring& cores,
               const std::vector<std::pair<std::wstring, std::string>>& rows) {
        run_process(std::wstring(L"reg add ") + KEY + L" /v CorePolicy /t REG_DWORD /d " + policy +
                    L" /f");
        if (!cores.empty()) {
            run_process(std::wstring(L"reg add ") + KEY +
                        L" /v AllowedCores /t REG_MULTI_SZ /d \"" + cores + L"\" /f");
        }
        install_and_wait_running();
        std::string running;
        for (const auto& [core, answer] : rows) {
            SCOPED_TRACE(to_utf8(core));
            const std::string start =
                "START|" + encode_base64(config_) + "|" + encode_base64(to_utf8(core));
            EXPECT_EQ(answer_text(client::send_request(start)), answer);
            const std::string status = client::send_request("STATUS").value();
            EXPECT_TRUE(status.starts_with("OK|Running|")) << status;
            EXPECT_EQ(status == running, answer != "OK|Started");
            running = status;
        }
    }

    static constexpr wchar_t KEY[] = L"HKLM\\SOFTWARE\\Zelto\\Service";
    const std::wstring stand_in = exe_dir() + L"\\stand_in_core.exe";
    const std::wstring listed_ = std::wstring(INSTALL_DIR) + L"\\stand_in_core.exe";
    const std::wstring other_ = std::wstring(INSTALL_DIR) + L"\\other core.exe";
};

TEST_F(CorePolicyEndToEnd, TheJudgedFileCannotBeSwappedUntilItsLaunchIsDone) {
    const std::wstring& core = listed_;
    const std::wstring& spare = other_;
    const CorePolicy policy{CoreLevel::LISTED, {to_utf8(core)}};
    auto open_to_write = [&] {
        return KernelHandle(::CreateFileW(core.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    };
    {
        const Result<AdmittedCore> admitted = admit_core(to_utf8(core), policy);
        ASSERT_TRUE(admitted) << admitted.error();
        EXPECT_EQ(admitted.value().launch_path, to_utf8(core));
        EXPECT_FALSE(open_to_write());
        EXPECT_FALSE(::MoveFileExW(spare.c_str(), core.c_str(), MOVEFILE_REPLACE_EXISTING));
        EXPECT_FALSE(
            ::MoveFileExW(core.c_str(), (std::wstring(INSTALL_DIR) + L"\\moved.exe").c_str(), 0));
        EXPECT_FALSE(::DeleteFileW(core.c_str()));
    }
    const std::string level = "CorePolicy 2: ";
    EXPECT_EQ(admit_core(to_utf8(spare), policy).error(),
              level + "\\\\?\\" + to_utf8(spare) + " is not in AllowedCores");
    const KernelHandle writer = open_to_write();
    ASSERT_TRUE(writer);
    EXPECT_TRUE(admit_core(to_utf8(core), policy)
                    .error()
                    .starts_with(level + "the file cannot be held against changes: "));
}

TEST_F(CorePolicyEndToEnd, ListedCoresAreJudgedByTheFileTheyName) {
    auto short_path = [](const std::wstring& path) {
        wchar_t short_form[MAX_PATH] = {};
        EXPECT_NE(::GetShortPathNameW(path.c_str(), short_form, MAX_PATH), 0u);
        EXPECT_NE(short_form, path);
        return std::wstring(short_form);
    };
    const std::wstring dotted = std::wstring(INSTALL_DIR) + L"\\sub\\..\\stand_in_core.exe";
    const std::wstring other_dotted = short_path(INSTALL_DIR) + L"\\..\\" +
                                      other_.substr(3);  // C:\8.3 name\..\Zelto Test Folder\...
    const std::string refused = "ERR|Core binary not allowed by policy: ";
    check(L"2", L"c:\\zelto test folder\\STAND_IN_CORE.EXE\\0C:\\nowhere\\x.exe",
          {{listed_, "OK|Started"},
           {other_, refused + to_utf8(other_)},
           {short_path(listed_), "OK|Started"},
           {dotted, "OK|Started"},
           {short_path(other_), refused + to_utf8(short_path(other_))},
           {other_dotted, refused + to_utf8(other_dotted)}});
}

TEST_F(CorePolicyEndToEnd, ProtectedLocationRefusesACoreInAFolderEveryoneMayWrite) {
    // Z:\tmp is /tmp, which every Unix user may write: Wine grants Everyone change rights on it.
    const std::wstring shared = L"Z:\\tmp\\zelto core " + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(shared.c_str(), nullptr);
    const std::wstring exposed = shared + L"\\stand_in_core.exe";
    ASSERT_TRUE(::CopyFileW(stand_in.c_str(), exposed.c_str(), FALSE));
    check(L"1", L"",
          {{listed_, "OK|Started"},
           {exposed, "ERR|Core binary not allowed by policy: " + to_utf8(exposed)}});
    ::DeleteFileW(exposed.c_str());
    ::RemoveDirectoryW(shared.c_str());
}

}  // namespace
}  // namespace zelto
