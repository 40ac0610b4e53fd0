// The Security Center tools and the shell stand-ins that start them.
#include <gtest/gtest.h>

#include <chrono>
#include <cwchar>
#include <thread>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/security_center.h"
#include "kitbase/platform/shell_api.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/platform/utf8.h"
#include "support/test_root.h"

namespace {

DWORD run(const std::string& commandLine) {
    kitbase::ChildProcess child;
    EXPECT_TRUE(child.start(commandLine));
    EXPECT_TRUE(child.wait(20000));
    return child.exitCode();
}

std::string quoted(const char* path) {
    return std::string("\"") + path + "\"";
}

bool waitForValue(const std::string& section, const std::string& key, const std::string& value) {
    for (int i = 0; i < 200; ++i) {
        if (kitbase::securityCenterValue(section, key) == value)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(Shieldclerk, RecordsRegisterAndUnregister) {
    EXPECT_EQ(run(quoted(SHIELDCLERK_PROGRAM) + " register"), 0u);
    EXPECT_EQ(kitbase::securityCenterValue("shieldclerk", "command"), "register");
    EXPECT_EQ(run(quoted(SHIELDCLERK_PROGRAM) + " unregister"), 0u);
    EXPECT_EQ(kitbase::securityCenterValue("shieldclerk", "command"), "unregister");
    EXPECT_EQ(kitbase::securityCenterValue("shieldclerk", "runs"), "2");
}

TEST(Shieldclerk, RefusesOtherCommands) {
    EXPECT_EQ(run(quoted(SHIELDCLERK_PROGRAM)), 87u);
    EXPECT_EQ(run(quoted(SHIELDCLERK_PROGRAM) + " enable"), 87u);
    EXPECT_EQ(run(quoted(SHIELDCLERK_PROGRAM) + " register extra"), 87u);
    EXPECT_EQ(kitbase::securityCenterValue("shieldclerk", "runs"), "");
}

TEST(Statusmith, RecordsEachRunWithItsArguments) {
    EXPECT_EQ(run(quoted(STATUSMITH_PROGRAM)), 0u);
    EXPECT_EQ(run(quoted(STATUSMITH_PROGRAM) + " /turnon \"a b\""), 0u);
    EXPECT_EQ(kitbase::securityCenterValue("statusmith", "arguments"), "/turnon a b");
    EXPECT_EQ(kitbase::securityCenterValue("statusmith", "runs"), "2");
}

TEST(ShellExecute, StartsTheProgramInTheGivenFolderWithoutWaiting) {
    const std::wstring program = kitbase::utf8ToWide(STATUSMITH_PROGRAM);
    const std::wstring folder = kitbase::utf8ToWide(testsupport::makeTempDir("work"));
    HINSTANCE result = ShellExecuteW(nullptr, L"open", program.c_str(), L"now", folder.c_str(), SW_HIDE);
    EXPECT_GT(reinterpret_cast<intptr_t>(result), 32);
    EXPECT_TRUE(waitForValue("statusmith", "arguments", "now"));
}

TEST(ShellExecute, AnswersSmallErrorNumbers) {
    const std::wstring program = kitbase::utf8ToWide(STATUSMITH_PROGRAM);
    auto code = [](HINSTANCE h) { return reinterpret_cast<intptr_t>(h); };
    EXPECT_EQ(code(ShellExecuteW(nullptr, L"open", L"/no/such/program.exe", nullptr, nullptr, SW_HIDE)),
              SE_ERR_FNF);
    EXPECT_EQ(code(ShellExecuteW(nullptr, L"open", nullptr, nullptr, nullptr, SW_HIDE)), SE_ERR_FNF);
    EXPECT_EQ(code(ShellExecuteW(nullptr, L"open", program.c_str(), nullptr, L"/no/such/folder", SW_HIDE)),
              SE_ERR_PNF);
    EXPECT_EQ(code(ShellExecuteW(nullptr, L"print", program.c_str(), nullptr, nullptr, SW_HIDE)),
              SE_ERR_NOASSOC);
    EXPECT_EQ(kitbase::securityCenterValue("statusmith", "runs"), "");
}

TEST(SpecialFolders, ProgramFilesLiesUnderTheMachineRoot) {
    wchar_t path[MAX_PATH];
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_PROGRAM_FILES, FALSE));
    EXPECT_EQ(kitbase::wideToUtf8(path), kitbase::programFilesFolder());
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, 5, FALSE));
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, nullptr, CSIDL_PROGRAM_FILES, FALSE));
}

}  // namespace
