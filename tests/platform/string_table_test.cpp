#include "kitbase/platform/string_table.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"
#include "support/test_root.h"

namespace {

std::string stagedBrandpack() {
    return kitbase::executableFolder() + "/brandpack.dll";
}

std::string copyOfBrandpack(const std::string& folder) {
    std::string copy = folder + "/copy.dll";
    std::filesystem::copy_file(stagedBrandpack(), copy);
    return copy;
}

}  // namespace

TEST(StringTable, ReadsEntriesOfALoadedLibrary) {
    HMODULE module = kitbase::loadModule(stagedBrandpack());
    ASSERT_NE(module, nullptr);
    std::wstring text = L"stale";
    EXPECT_TRUE(kitbase::loadString(module, 1028, text));
    EXPECT_EQ(text, L"Scanwarden");

    text = L"stale";
    SetLastError(0);
    EXPECT_FALSE(kitbase::loadString(module, 4242, text));
    EXPECT_EQ(text, L"");
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);

    EXPECT_EQ(kitbase::modulePath(module), stagedBrandpack());
    EXPECT_TRUE(kitbase::freeModule(module));
}

TEST(StringTable, ModulesWithoutATableHaveNoEntries) {
    std::wstring text;
    // The running test program offers no table.
    EXPECT_FALSE(kitbase::loadString(nullptr, 1028, text));
    // Nor does a library without the export.
    HMODULE library = kitbase::loadModule(kitbase::executableFolder() + "/libkitbase.so");
    ASSERT_NE(library, nullptr);
    EXPECT_FALSE(kitbase::loadString(library, 1028, text));
    kitbase::freeModule(library);
    EXPECT_EQ(kitbase::modulePath(nullptr), kitbase::executablePath());
}

TEST(StringTable, LoadFailuresSetTheLastError) {
    std::string folder = testsupport::makeTempDir("modules");
    std::string notALibrary = folder + "/text.dll";
    testsupport::writeFile(notALibrary, "just some text\n");
    struct Case {
        std::string path;
        DWORD error;
    } cases[] = {
        {folder + "/missing.dll", ERROR_MOD_NOT_FOUND},
        {"", ERROR_MOD_NOT_FOUND},
        {notALibrary, ERROR_BAD_EXE_FORMAT},
        {folder, ERROR_BAD_EXE_FORMAT},
    };
    for (const auto& c : cases) {
        std::string why;
        SetLastError(0);
        EXPECT_EQ(kitbase::loadModule(c.path, &why), nullptr) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
        EXPECT_FALSE(why.empty()) << c.path;
    }
    // A bare name is a file in the current folder, never a search of the library path.
    EXPECT_EQ(kitbase::loadModule("libc.so.6"), nullptr);
    EXPECT_FALSE(kitbase::freeModule(nullptr));
}

TEST(StringTable, LoadsTheFileTheDescriptorWasOpenedOn) {
    std::string folder = testsupport::makeTempDir("swap");
    std::string path = copyOfBrandpack(folder);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // The path now names something else; the descriptor still names the library.
    ASSERT_EQ(std::rename(path.c_str(), (folder + "/moved.dll").c_str()), 0);
    testsupport::writeFile(path, "not a library");

    HMODULE module = kitbase::loadModuleFromDescriptor(fd);
    close(fd);
    ASSERT_NE(module, nullptr);
    std::wstring text;
    EXPECT_TRUE(kitbase::loadString(module, 1029, text));
    EXPECT_EQ(text, L"scanwarden");
    kitbase::freeModule(module);

    SetLastError(0);
    EXPECT_EQ(kitbase::loadModuleFromDescriptor(-1), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(StringTable, ADescriptorNumberReusedAfterALoadGivesTheNewLibrary) {
    // The first library stays loaded while its descriptor number is reused for another
    // file: the second load must give the second library, not the first again.
    int first = open(stagedBrandpack().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(first, 0);
    HMODULE brandpack = kitbase::loadModuleFromDescriptor(first);
    ASSERT_NE(brandpack, nullptr);
    close(first);

    std::string engine = kitbase::executableFolder() + "/Scanner/qvapi.dll";
    int second = open(engine.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(second, first) << "the descriptor number was not reused";
    HMODULE other = kitbase::loadModuleFromDescriptor(second);
    close(second);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, brandpack);
    EXPECT_NE(dlsym(other, "QVAPI_initialize"), nullptr);

    EXPECT_TRUE(kitbase::freeModule(other));
    EXPECT_TRUE(kitbase::freeModule(brandpack));
}

TEST(StringTable, ALibraryLoadedBeforeIsNotHandedBackForADescriptor) {
    HMODULE first = kitbase::loadModule(stagedBrandpack());
    ASSERT_NE(first, nullptr);
    int fd = open(stagedBrandpack().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kitbase::loadModuleFromDescriptor(fd), nullptr);
    close(fd);
    EXPECT_TRUE(kitbase::freeModule(first));
}
