#include "core/core_policy.h"

#include <gtest/gtest.h>

namespace zelto {
namespace {

using namespace std::string_view_literals;
using Strings = std::vector<std::string>;

SettingValue dword(std::uint8_t n) {
    return {SETTING_TYPE_DWORD, {n, 0, 0, 0}};
}
// As the registry stores REG_MULTI_SZ: UTF-16LE, a NUL after each string and one more.
SettingValue multi_sz(std::u16string_view units) {
    SettingValue value{SETTING_TYPE_MULTI_SZ, {}};
    for (const char16_t unit : units) {
        value.data.insert(value.data.end(),
                          {static_cast<std::uint8_t>(unit), static_cast<std::uint8_t>(unit >> 8)});
    }
    return value;
}

TEST(Settings, NumbersAndStringListsDecodeOrSayWhatTheyMustBe) {
    EXPECT_EQ(setting_number({SETTING_TYPE_QWORD, {1, 0, 0, 0, 0, 0, 2, 0x80}}).value(),
              0x8002000000000001u);
    EXPECT_EQ(setting_number({SETTING_TYPE_DWORD, {0xff, 0xff, 0xff, 0xff}}).value(), 0xffffffffu);
    for (const SettingValue& misfit :
         {SettingValue{}, SettingValue{SETTING_TYPE_DWORD, {1, 2, 3}},
          SettingValue{SETTING_TYPE_DWORD, {1, 2, 3, 4, 5}},
          SettingValue{SETTING_TYPE_QWORD, {1, 2, 3, 4, 5, 6, 7}},
          SettingValue{SETTING_TYPE_QWORD, {1, 2, 3, 4, 5, 6, 7, 8, 9}}}) {
        EXPECT_EQ(setting_number(misfit).error(), "must be REG_DWORD or REG_QWORD");
    }
    EXPECT_EQ(setting_number(multi_sz(u"2\0\0"sv)).error(), "must be REG_DWORD or REG_QWORD");
    EXPECT_EQ(setting_strings(multi_sz(u"C:\\a\0\0\u00e9\U0001F600\xd800x\0\0"sv)).value(),
              (Strings{"C:\\a", "\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbdx"}));
    EXPECT_EQ(setting_strings(multi_sz(u"unended"sv)).value(), Strings{"unended"});
    // Each encoding length at its edges; surrogates paired, unpaired or cut off by the end.
    const std::pair<std::u16string_view, std::string_view> edges[] = {
        {u"\x7f\x80\x7ff\x800\xffff", "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
        {u"\xd7ff\xe000\xd800\xdc00\xdbff\xdfff",
         "\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        {u"\xdc00\xdfff\xdbff\xe000\xd800",
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xee\x80\x80\xef\xbf\xbd"},
    };
    for (const auto& [units, utf8] : edges) {
        EXPECT_EQ(setting_strings(multi_sz(units)).value(), Strings{std::string(utf8)});
    }
    EXPECT_EQ(setting_strings({SETTING_TYPE_MULTI_SZ, {'a'}}).error(), "must be REG_MULTI_SZ");
    EXPECT_EQ(setting_strings(dword(1)).error(), "must be REG_MULTI_SZ");
}

TEST(CorePolicy, UnusableValuesNeverWeakenIt) {
    const SettingRead absent{std::nullopt};
    const SettingRead denied = SettingRead::failure("Access is denied. (os error 5)");
    const SettingRead list{multi_sz(u"C:\\App\\mihomo.exe\0 D:\\b.exe |\\\\nas\\s\\c.exe|x\0\0"sv)};
    const std::string level = "CorePolicy under HKLM\\SOFTWARE\\Zelto\\Service ";
    const std::string cores = "AllowedCores under HKLM\\SOFTWARE\\Zelto\\Service ";
    const std::string volumes = "CoreVolumes under HKLM\\SOFTWARE\\Zelto\\Service ";
    const std::string strictest = "; applying 2 (listed cores)", none = "; no core may start";
    const std::string system_only = "; a core may run from the system volume only";
    struct Case {
        SettingRead level;
        SettingRead cores;
        CoreLevel expected;
        Strings allowed;
        Strings problems;
        SettingRead volumes{std::nullopt};
        Strings named_volumes{};
    };
    const Case cases[] = {
        {absent, list, CoreLevel::ANY, {}, {}},
        {SettingRead{dword(0)}, denied, CoreLevel::ANY, {}, {}},
        {SettingRead{dword(1)}, absent, CoreLevel::PROTECTED, {}, {}},
        {SettingRead{dword(1)},
         absent,
         CoreLevel::PROTECTED,
         {},
         {volumes + "holds paths that are not full paths, left out: E:, @:\\, \\\\"},
         SettingRead{multi_sz(u"A:\\|E:|@:\\|\\\\\0\\\\?\\Volume{1}\\\0z:\\|\\\\n\0\0"sv)},
         {"A:\\", "\\\\?\\Volume{1}\\", "z:\\", "\\\\n"}},
        {SettingRead{dword(1)},
         absent,
         CoreLevel::PROTECTED,
         {},
         {volumes + "must be REG_MULTI_SZ" + system_only},
         SettingRead{dword(1)}},
        {SettingRead{dword(0)}, absent, CoreLevel::ANY, {}, {}, denied},
        {SettingRead{dword(1)},
         absent,
         CoreLevel::PROTECTED,
         {},
         {volumes + "cannot be read: Access is denied. (os error 5)" + system_only},
         denied},
        {SettingRead{dword(2)},
         list,
         CoreLevel::LISTED,
         {"C:\\App\\mihomo.exe", "D:\\b.exe", "\\\\nas\\s\\c.exe"},
         {cores + "holds paths that are not full paths, left out: x"}},
        {SettingRead{dword(2)}, absent, CoreLevel::LISTED, {}, {cores + "is missing" + none}},
        {SettingRead{dword(2)},
         SettingRead{multi_sz(u"C:x.exe\0\0"sv)},
         CoreLevel::LISTED,
         {},
         {cores + "holds paths that are not full paths, left out: C:x.exe",
          cores + "lists no full path" + none}},
        {SettingRead{dword(3)},
         SettingRead{dword(1)},
         CoreLevel::LISTED,
         {},
         {level + "is 3, not 0, 1 or 2" + strictest, cores + "must be REG_MULTI_SZ" + none}},
        {SettingRead{multi_sz(u"1\0\0"sv)},
         list,
         CoreLevel::LISTED,
         {"C:\\App\\mihomo.exe", "D:\\b.exe", "\\\\nas\\s\\c.exe"},
         {level + "must be REG_DWORD or REG_QWORD" + strictest,
          cores + "holds paths that are not full paths, left out: x"}},
        {denied,
         denied,
         CoreLevel::LISTED,
         {},
         {level + "cannot be read: Access is denied. (os error 5)" + strictest,
          cores + "cannot be read: Access is denied. (os error 5)" + none}},
    };
    for (const Case& c : cases) {
        const CorePolicyReading reading = read_core_policy(c.level, c.cores, c.volumes);
        SCOPED_TRACE(describe_core_policy(reading.policy));
        EXPECT_EQ(reading.policy.level, c.expected);
        EXPECT_EQ(reading.policy.allowed_cores, c.allowed);
        EXPECT_EQ(reading.policy.core_volumes, c.named_volumes);
        EXPECT_EQ(reading.problems, c.problems);
    }
    const std::pair<CorePolicy, std::string> described[] = {
        {{}, "Core policy 0 (any core)"},
        {{CoreLevel::PROTECTED, {}, {"D:\\"}, {}},
         "Core policy 1 (protected location), volumes in CoreVolumes: 1"},
        {{CoreLevel::LISTED, {"C:\\a.exe", "C:\\b.exe"}, {}, {}},
         "Core policy 2 (listed cores), paths in AllowedCores: 2"},
    };
    for (const auto& [policy, text] : described) {
        EXPECT_EQ(describe_core_policy(policy), text);
    }
}

TEST(CorePolicy, FinalPathsTheirFoldersAndTheLaunchPath) {
    EXPECT_TRUE(
        same_final_path("\\\\?\\C:\\Program Files\\Az.exe", "\\\\?\\c:\\PROGRAM files\\aZ.exe"));
    EXPECT_FALSE(same_final_path("\\\\?\\C:\\a.exe", "\\\\?\\C:\\a.exe2"));
    EXPECT_EQ(folders_above("\\\\?\\C:\\a\\b\\c.exe"),
              (Strings{"\\\\?\\C:\\a\\b", "\\\\?\\C:\\a", "\\\\?\\C:\\"}));
    EXPECT_EQ(folders_above("\\\\?\\UNC\\nas\\share\\c.exe"), Strings{"\\\\?\\UNC\\nas\\share\\"});
    EXPECT_EQ(folders_above("\\\\?\\a:\\c"), Strings{"\\\\?\\a:\\"});
    EXPECT_EQ(folders_above("\\\\?\\Z:\\c"), Strings{"\\\\?\\Z:\\"});
    for (const char* other : {"C:\\a\\c.exe", "\\\\?\\Volume{1}\\c.exe", "\\\\?\\UNC\\nas\\c",
                              "\\\\?\\UNC\\nas", "\\\\?\\UNC\\\\s\\c", "\\\\?\\UNC\\nas\\\\c\\d",
                              "\\\\?\\C:\\", "\\\\?\\C:", "\\\\?\\C:c\\d", "\\\\?\\C;\\c"}) {
        EXPECT_EQ(folders_above(other), Strings{}) << other;
    }
    // MAX_PATH less its NUL: 259 characters still run without the prefix.
    const std::string longest = "\\\\?\\C:\\" + std::string(250, 'x') + "\\c.exe";
    const std::string deep = "\\\\?\\C:\\" + std::string(251, 'x') + "\\c.exe";
    const std::pair<std::string, std::string> launches[] = {
        {"\\\\?\\C:\\Program Files\\mihomo.exe", "C:\\Program Files\\mihomo.exe"},
        {"\\\\?\\UNC\\nas\\share\\c.exe", "\\\\nas\\share\\c.exe"},
        {"\\\\?\\C:\\console\\c.exe", "C:\\console\\c.exe"},
        {"\\\\?\\c:\\COM\\LPT123\\nul2.exe", "c:\\COM\\LPT123\\nul2.exe"},
        {"\\\\?\\C:\\", ""},
        {longest, longest.substr(4)},
        {deep, ""},
    };
    for (const auto& [final_path, plain] : launches) {
        EXPECT_EQ(launch_path_of(final_path), plain.empty() ? final_path : plain);
    }
    // Names Win32 would change, or take for a device, keep the long form.
    for (const char* name : {"a.", "a ", "Com1", "LPT9", "COM\xc2\xb9", "con", "PRN.txt", "aux .c",
                             "NUL", "CONIN$", "conout$"}) {
        const std::string kept = "\\\\?\\C:\\x\\" + std::string(name) + "\\c.exe";
        EXPECT_EQ(launch_path_of(kept), kept) << name;
    }
}

TEST(CorePolicy, PathFormsImagesAndEntriesJudgedOnTheirText) {
    const std::pair<std::string_view, ErrorText> forms[] = {
        {"C:\\Users\\me\\a&\\..\\evil.exe", std::nullopt},
        {"\\\\?\\c:\\core.exe", std::nullopt},
        {"core.exe", std::nullopt},
        {"\\Users\\core.exe", std::nullopt},
        {"\\x?\\core.exe", std::nullopt},
        {"\\\\nas\\share\\core.exe", "a remote path"},
        {"\\\\n\\share\\core.exe", "a remote path"},
        {"\\\\?\\", "a device path"},
        {"//nas/share/core.exe", "a remote path"},
        {"\\\\?\\UNC\\nas\\share\\core.exe", "a remote path"},
        {"\\??\\unc\\nas\\share\\core.exe", "a remote path"},
        {"\\\\.\\C:\\core.exe", "a device path"},
        {"\\\\?\\Volume{1}\\core.exe", "a device path"},
        {"\\\\?\\GLOBALROOT\\Device\\Mup\\nas\\c.exe", "a device path"},
    };
    for (const auto& [path, why] : forms) {
        EXPECT_EQ(remote_or_device_path(path), why) << path;
    }
    const std::string batch = "a batch file, which cmd.exe would run";
    const std::tuple<std::string_view, std::string_view, ErrorText> images[] = {
        {"\\\\?\\C:\\a\\mihomo.exe", "MZ", std::nullopt},
        {"\\\\?\\C:\\a\\run.BAT", "MZ", batch},
        {"\\\\?\\C:\\a\\run.cmd. . ", "MZ", batch},
        {"\\\\?\\C:\\a\\run.Cmd", "@echo", batch},
        {"\\\\?\\C:\\a\\core.exe", "#!", "not a Windows image (it does not begin with MZ)"},
        {"\\\\?\\C:\\a\\core.exe", "M", "not a Windows image (it does not begin with MZ)"},
    };
    for (const auto& [path, head, why] : images) {
        EXPECT_EQ(not_an_image(path, head), why) << path;
    }
    const std::string final_path = "\\\\?\\C:\\Program Files\\App\\mihomo.exe";
    const std::pair<std::string_view, bool> entries[] = {
        {"c:\\program files\\app\\MIHOMO.EXE", true},
        {"C:/Program Files/App/mihomo.exe", true},
        {"\\\\?\\C:\\Program Files\\App\\mihomo.exe", true},
        {"C:\\PROGRA~1\\App\\mihomo.exe", false},
        {"C:\\Program Files\\x\\..\\App\\mihomo.exe", false},
        {"C:\\Apps\\mihomo.exe", false},
    };
    for (const auto& [entry, own] : entries) {
        EXPECT_EQ(is_own_final_path(entry, final_path), own) << entry;
    }
    EXPECT_TRUE(is_own_final_path("\\\\nas\\s\\c.exe", "\\\\?\\UNC\\nas\\s\\c.exe"));
}

TEST(CorePolicy, OnlyTrustedAccountsMayChangeWhatRuns) {
    const std::string service = "S-1-5-21-1-2-3-1000";
    const std::string installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    auto with = [&](const std::string& sid, std::uint32_t mask) {
        return std::vector<AccessEntry>{
            {true, false, "S-1-5-18", 0x1f01ff}, {true, false, "S-1-5-32-544", 0x1f01ff},
            {true, false, installer, 0x1f01ff},  {true, false, service, 0x1f01ff},
            {true, false, "S-1-3-4", 0x1f01ff},  {true, true, "S-1-3-0", 0x10000000},
            {false, false, "S-1-1-0", 0x1f01ff}, {true, false, sid, mask}};
    };
    using enum PathPart;
    const std::tuple<ObjectSecurity, PathPart, ErrorText> cases[] = {
        {{"S-1-5-32-544", with("S-1-5-32-545", 0x1200a9)}, FILE, std::nullopt},
        {{service, with("S-1-5-11", 0x4)}, FOLDER_ABOVE, std::nullopt},
        {{service, with("S-1-5-11", 0x4)}, FOLDER_OF_FILE, "S-1-5-11 may change it (0x4)"},
        {{"S-1-5-18", with("S-1-5-11", 0x2)}, FOLDER_ABOVE, std::nullopt},
        {{installer, with("S-1-5-11", 0x40)}, FILE, std::nullopt},
        {{"S-1-5-18", with("S-1-5-11", 0x40)}, FOLDER_OF_FILE, "S-1-5-11 may change it (0x40)"},
        {{"S-1-5-18", with("S-1-5-11", 0x40)}, FOLDER_ABOVE, "S-1-5-11 may change it (0x40)"},
        {{"S-1-5-18", with("S-1-5-11", 0x2000000)},
         FOLDER_OF_FILE,
         "S-1-5-11 may change it (0xd0046)"},
        {{"S-1-5-21-9-1001", with("S-1-5-18", 0)}, FILE, "owned by S-1-5-21-9-1001"},
        {{"S-1-5-18", std::nullopt}, FOLDER_ABOVE, "no DACL: anyone may change it"},
        {{"S-1-5-18", with("S-1-5-11", 0x4)}, FILE, "S-1-5-11 may change it (0x4)"},
        {{"S-1-5-18", with("S-1-5-11", 0x2)}, FOLDER_OF_FILE, "S-1-5-11 may change it (0x2)"},
        {{"S-1-5-18", with("S-1-1-0", 0x1301ff)}, FOLDER_ABOVE, "S-1-1-0 may change it (0x10040)"},
        {{"S-1-5-18", with("S-1-5-11", 0x40000000)}, FILE, "S-1-5-11 may change it (0x6)"},
        {{"S-1-5-18", with("S-1-5-11", 0x10000000)},
         FOLDER_ABOVE,
         "S-1-5-11 may change it (0xd0040)"},
        {{"S-1-5-18", with("", 0x80000)},
         FILE,
         "an entry whose account cannot be read may change it (0x80000)"},
    };
    for (const auto& [object, part, why] : cases) {
        EXPECT_EQ(untrusted_change(object, part, service), why) << static_cast<int>(part);
    }
    EXPECT_EQ(untrusted_change({service, {}}, FILE, ""), "owned by " + service);
}

TEST(ConfigPolicy, ReadingsFoldersAndTheConfigsTree) {
    const std::string level = "ConfigPolicy under HKLM\\SOFTWARE\\Zelto\\Service ";
    const std::string dirs = "AllowedConfigDirs under HKLM\\SOFTWARE\\Zelto\\Service ";
    const SettingRead absent{std::nullopt}, list{multi_sz(u"C:\\cfg|x\0\0"sv)};
    const std::tuple<SettingRead, SettingRead, std::string, Strings> readings[] = {
        {absent, list, "Config policy 0 (any config)", {}},
        {SettingRead{dword(1)},
         list,
         "Config policy 1 (listed folders), folders in AllowedConfigDirs: 1",
         {dirs + "holds paths that are not full paths, left out: x"}},
        {SettingRead{dword(2)},
         absent,
         "Config policy 1 (listed folders), folders in AllowedConfigDirs: 0",
         {level + "is 2, not 0 or 1; applying 1 (listed folders)",
          dirs + "is missing; no config may start"}},
        {SettingRead::failure("denied"),
         SettingRead{dword(1)},
         "Config policy 1 (listed folders), folders in AllowedConfigDirs: 0",
         {level + "cannot be read: denied; applying 1 (listed folders)",
          dirs + "must be REG_MULTI_SZ; no config may start"}},
    };
    for (const auto& [value, folders, described, problems] : readings) {
        const ConfigPolicyReading reading = read_config_policy(value, folders);
        EXPECT_EQ(describe_config_policy(reading.policy), described);
        EXPECT_EQ(reading.problems, problems);
    }
    const std::pair<std::string_view, bool> members[] = {
        {"\\\\?\\C:\\cfg\\a.yaml", true},      {"\\\\?\\c:\\CFG\\s\\a", true},
        {"\\\\?\\C:\\cfg2\\a.yaml", false},    {"\\\\?\\C:\\cfg", false},
        {"\\\\?\\C:\\cfg\\..\\a.yaml", false}, {"\\\\?\\C:\\cfg\\.\\a.yaml", false},
        {"\\\\?\\C:\\cfh\\a.yaml", false},
    };
    for (const auto& [path, inside] : members) {
        EXPECT_EQ(inside_folder(path, "\\\\?\\C:\\cfg"), inside) << path;
    }
    EXPECT_TRUE(inside_folder("\\\\?\\D:\\a.yaml", "\\\\?\\D:\\"));

    // A described tree: "root" holds a.yaml and sub, sub holds b.dat.
    const ObjectSecurity safe{"S-1-5-18",
                              std::vector<AccessEntry>{{true, false, "S-1-5-32-545", 0x1200a9}}};
    const ObjectSecurity open_to_users{"S-1-5-18",
                                       std::vector<AccessEntry>{{true, false, "S-1-5-11", 0x4}}};
    auto walk = [&](bool reparse, const std::string& changed, std::size_t extra) {
        const ListFolder list = [&](const std::string& folder) -> Result<std::vector<FolderEntry>> {
            if (folder == "root") {
                std::vector<FolderEntry> entries{{"a.yaml", false, false}, {"sub", true, reparse}};
                entries.resize(entries.size() + extra, FolderEntry{"n", false, false});
                return entries;
            }
            return std::vector<FolderEntry>{{"b.dat", false, false}};
        };
        const ReadSecurity security = [&](const std::string& path) -> Result<ObjectSecurity> {
            return path == changed ? open_to_users : safe;
        };
        return untrusted_in_tree("root", list, security, "");
    };
    EXPECT_EQ(walk(false, "", 0), std::nullopt);
    EXPECT_EQ(walk(true, "", 0), "root\\sub: a reparse point");
    EXPECT_EQ(walk(false, "root\\sub", 0), "root\\sub: S-1-5-11 may change it (0x4)");
    EXPECT_EQ(walk(false, "root\\sub\\b.dat", 0), "root\\sub\\b.dat: S-1-5-11 may change it (0x4)");
    EXPECT_EQ(walk(false, "", CONFIG_TREE_LIMIT - 3), std::nullopt);
    EXPECT_EQ(walk(false, "", CONFIG_TREE_LIMIT - 2), "root: more than 10000 entries");
}

}  // namespace
}  // namespace zelto
