// The administrator's core policy: the file a START is judged by, and the service under
// CorePolicy set with reg add before it starts. Wine gives every file the owner and DACL it
// synthesises from the Unix mode (the owner is the one user every process runs as, which is the
// service's own account), so it shows the list and a folder everyone may write, nothing finer.
// Each of Wine's drive letters is a volume of its own, so Z: stands for a disk a user brings.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/core_policy_win.h"
#include "core/forwarder_win.h"
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
        for (const wchar_t* value : {L"CorePolicy", L"AllowedCores", L"CoreVolumes",
                                     L"ConfigPolicy", L"AllowedConfigDirs"}) {
            run_process(std::wstring(L"reg delete ") + KEY + L" /v " + value + L" /f");
        }
    }

    struct Row {
        Row(std::wstring core_path, std::string expected, std::string config_path = {})
            : core(std::move(core_path)),
              answer(std::move(expected)),
              config(std::move(config_path)) {}
        std::wstring core;
        std::string answer;
        std::string config;  // the fixture's when empty
    };

    // Starts the service under the policy, then sends each START and checks its answer: a core
    // that starts replaces the one before, a refused one leaves it running.
    void check(const std::wstring& policy, const std::wstring& cores, const std::vector<Row>& rows,
               const std::wstring& volumes = L"", const std::wstring& config_dirs = L"") {
        run_process(std::wstring(L"reg add ") + KEY + L" /v CorePolicy /t REG_DWORD /d " + policy +
                    L" /f");
        if (!config_dirs.empty()) {
            run_process(std::wstring(L"reg add ") + KEY + L" /v ConfigPolicy /t REG_DWORD /d 1 /f");
        }
        for (const auto& [name, value] : {std::pair{L"AllowedCores", cores},
                                          {L"CoreVolumes", volumes},
                                          {L"AllowedConfigDirs", config_dirs}}) {
            if (!value.empty()) {
                run_process(std::wstring(L"reg add ") + KEY + L" /v " + name +
                            L" /t REG_MULTI_SZ /d \"" + value + L"\" /f");
            }
        }
        install_and_wait_running();
        std::string running;
        for (const auto& [core, answer, config] : rows) {
            SCOPED_TRACE(to_utf8(core));
            const std::string start = "START|" + encode_base64(config.empty() ? config_ : config) +
                                      "|" + encode_base64(to_utf8(core));
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
    const CorePolicy policy{
        CoreLevel::LISTED, {to_utf8(core)}, {}, {volume_id_of(to_utf8(core)).value()}};
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
    const std::wstring dotted = std::wstring(INSTALL_DIR) + L"\\sub\\..\\stand_in_core.exe";
    const std::wstring batch = std::wstring(INSTALL_DIR) + L"\\core.cmd";
    write_file(batch, "@echo off\r\n\"" + core_ + "\" %*\r\n");
    const std::wstring unc = L"\\\\127.0.0.1\\c$\\" + listed_.substr(3);
    const std::string env =
        write_file(std::wstring(INSTALL_DIR) + L"\\env.yaml", "env PATH\nhang\n");
    const std::string refused = "ERR|Core binary not allowed by policy: ";
    std::vector<Row> rows = {{listed_, "OK|Started"},
                             {other_, refused + to_utf8(other_)},
                             {dotted, "OK|Started"},
                             {batch, refused + to_utf8(batch)},
                             {unc, refused + to_utf8(unc)}};
    wchar_t short_form[MAX_PATH] = {};
    ::GetShortPathNameW(INSTALL_DIR, short_form, MAX_PATH);
    if (std::wstring(short_form) != INSTALL_DIR) {
        const std::wstring short_dir = short_form;  // C:\8.3 name
        rows.push_back({short_dir + L"\\stand_in_core.exe", "OK|Started"});
        rows.push_back({short_dir + L"\\..\\" + other_.substr(3),
                        refused + to_utf8(short_dir + L"\\..\\" + other_.substr(3))});
    } else {
        std::printf("no short names on this volume: the 8.3 rows skipped\n");
    }
    rows.push_back({listed_, "OK|Started", env});
    const LogTail log;
    check(L"2", L"c:\\zelto test folder\\STAND_IN_CORE.EXE\\0C:\\nowhere\\x.exe|" + batch, rows);
    // Under a policy the core searches only the system's folders for a DLL named bare.
    wchar_t system[MAX_PATH] = {}, windows[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::string path_line = "[CORE] " + std::string(STDOUT_PREFIX) +
                                  "env PATH=" + to_utf8(system) + ";" + to_utf8(windows) + ";" +
                                  to_utf8(system) + "\\Wbem";
    EXPECT_TRUE(wait_until([&] {
        const std::vector<std::string> lines = log.new_lines();
        return std::find(lines.begin(), lines.end(), path_line) != lines.end();
    })) << path_line;
}

TEST_F(CorePolicyEndToEnd, ARemoteConfigIsRefusedOnItsText) {
    const std::string unc = "\\\\127.0.0.1\\c$\\" + config_.substr(3);
    check(L"1", L"",
          {{listed_, "OK|Started"}, {listed_, "ERR|Config not allowed by policy: " + unc, unc}});
}

TEST_F(CorePolicyEndToEnd, ACoreOnAVolumeNotNamedIsRefused) {
    if (!running_under_wine()) {
        GTEST_SKIP() << "needs a second local volume, which Wine's Z: is";
    }
    check(L"1", L"",
          {{listed_, "OK|Started"},
           {stand_in, "ERR|Core binary not allowed by policy: " + to_utf8(stand_in)}});
}

TEST_F(CorePolicyEndToEnd, AnEntryThroughAJunctionIsLeftOut) {
    if (running_under_wine()) {
        GTEST_SKIP() << "needs Windows: Wine makes no junctions";
    }
    const std::wstring link = std::wstring(INSTALL_DIR) + L"\\link";
    run_process(L"cmd /c mklink /J \"" + link + L"\" \"" + INSTALL_DIR + L"\"");
    const std::wstring through = link + L"\\stand_in_core.exe";
    const std::string refused = "ERR|Core binary not allowed by policy: ";
    check(L"2", through,
          {{listed_, refused + to_utf8(listed_)}, {through, refused + to_utf8(through)}});
    ::RemoveDirectoryW(link.c_str());
}

TEST_F(CorePolicyEndToEnd, ProtectedLocationRefusesACoreInAFolderEveryoneMayWrite) {
    // Under Wine Z:\tmp is /tmp, which every Unix user may write: Wine grants Everyone change
    // rights on it, and Z: is admitted as a volume so that the folder's rights are what refuse.
    // The core that starts is the installed one: the build's own folder may be anywhere.
    const bool wine = running_under_wine();
    const std::wstring shared = (wine ? L"Z:\\tmp\\zelto core " : L"C:\\zelto core ") +
                                std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(shared.c_str(), nullptr);
    if (!wine) {
        ASSERT_EQ(set_folder_dacl(shared, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)"),
                  ERROR_SUCCESS);
    }
    const std::wstring exposed = shared + L"\\stand_in_core.exe";
    ASSERT_TRUE(::CopyFileW(stand_in.c_str(), exposed.c_str(), FALSE));
    const LogTail log;
    check(L"1", L"",
          {{listed_, "OK|Started"},
           {exposed, "ERR|Core binary not allowed by policy: " + to_utf8(exposed)}},
          wine ? L"Z:\\\\" : L"");  // "Z:\\" as reg.exe's quoted argument
    const std::vector<std::string> lines = log.new_lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("[CORE] Core binary not allowed by policy: ") &&
               line.find(" may change it (") != std::string::npos;
    }));
    ::DeleteFileW(exposed.c_str());
    ::RemoveDirectoryW(shared.c_str());
}

TEST_F(CorePolicyEndToEnd, OnlyConfigsInsideAListedFolderStartFromTheirFinalPaths) {
    const std::wstring folder = std::wstring(INSTALL_DIR) + L"\\configs";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    write_file(folder + L"\\a.yaml", "");
    const std::string dotted = to_utf8(folder) + "\\sub\\..\\a.yaml";
    const std::string out = to_utf8(folder) + "\\..\\config.yaml";
    const std::string refused = "ERR|Config not allowed by policy: ";
    const LogTail log;
    check(L"0", L"",
          {{listed_, "OK|Started", dotted},
           {listed_, refused + config_, config_},
           {listed_, refused + out, out}},
          L"", folder);
    const std::string cmdline = "[CORE] " + std::string(STDOUT_PREFIX) + "cmdline: \"" +
                                to_utf8(listed_) + "\" -d \"" + to_utf8(folder) + "\" -f \"" +
                                to_utf8(folder) + "\\a.yaml\"";
    EXPECT_TRUE(wait_until([&] {
        const std::vector<std::string> lines = log.new_lines();
        return std::find(lines.begin(), lines.end(), cmdline) != lines.end();
    })) << cmdline;
}

TEST_F(CorePolicyEndToEnd, AJunctionInsideTheConfigsFolderIsRefused) {
    if (running_under_wine()) {
        GTEST_SKIP() << "needs Windows: Wine makes no junctions";
    }
    const std::wstring folder = std::wstring(INSTALL_DIR) + L"\\configs";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::string config = write_file(folder + L"\\a.yaml", "");
    run_process(L"cmd /c mklink /J \"" + folder + L"\\link\" C:\\Windows");
    check(L"0", L"", {{listed_, "ERR|Config not allowed by policy: " + config, config}}, L"",
          folder);
    ::RemoveDirectoryW((folder + L"\\link").c_str());
}

}  // namespace
}  // namespace zelto
