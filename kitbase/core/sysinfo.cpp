#include "kitbase/core/sysinfo.h"

#include <sys/utsname.h>

#include <fstream>
#include <mutex>
#include <tuple>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/tokenizer.h"
#include "kitbase/core/trace.h"
#include "kitbase/core/uuid.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/version_block.h"

namespace {

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;
constexpr DWORD kFirstRS5Build = 18323;
constexpr size_t kPackageLineChars = 253;

std::wstring windowsValue(const wchar_t* name, DWORD access) {
    Registry key(kitbase::kWindowsVersionKey, access);
    return key.getStringValue(name);
}

}  // namespace

bool IsWindowsVersionOrGreater(WORD major, WORD minor, WORD servicePackMajor) {
    const kitbase::WindowsVersionNumbers v = kitbase::windowsVersionNumbers();
    return std::make_tuple(v.major, v.minor, static_cast<DWORD>(v.servicePackMajor)) >=
           std::make_tuple(static_cast<DWORD>(major), static_cast<DWORD>(minor),
                           static_cast<DWORD>(servicePackMajor));
}

bool IsExactlyWindows7() {
    const kitbase::WindowsVersionNumbers v = kitbase::windowsVersionNumbers();
    return v.major == 6 && v.minor == 1;
}

bool IsWindows7() {
    return IsWindowsVersionOrGreater(6, 1, 1) && IsExactlyWindows7();
}

bool IsWindows10() {
    return windowsValue(L"CurrentVersion", KEY_READ) == L"6.3";
}

bool IsWindows10RS5AndAbove() {
    return IsWindows10() && WS2I(windowsValue(L"CurrentBuild", KEY_READ)) >= kFirstRS5Build;
}

bool isServer() {
    return windowsValue(L"InstallationType", KEY_ALL_ACCESS).find(L"Server") != std::wstring::npos;
}

bool isClient() {
    return windowsValue(L"InstallationType", KEY_ALL_ACCESS).find(L"Client") != std::wstring::npos;
}

bool Is64BitWindows() {
    if (sizeof(void*) == 8)
        return true;
    // A 32-bit process on a 64-bit kernel.
    struct utsname name {};
    if (uname(&name) != 0)
        return false;
    return std::string(name.machine).find("64") != std::string::npos;
}

void getOSVersion(std::wstring& out) {
    struct Release {
        WORD major, minor, servicePack;
        const wchar_t* label;
    };
    static const Release releases[] = {
        {10, 0, 0, L"10+"},   {6, 3, 0, L"8.1+"},      {6, 2, 0, L"8.0"},       {6, 1, 1, L"7 SP1"},
        {6, 1, 0, L"7"},      {6, 0, 2, L"Vista SP2"}, {6, 0, 1, L"Vista SP1"}, {6, 0, 0, L"Vista"},
        {5, 1, 3, L"XP SP3"}, {5, 1, 2, L"XP SP2"},    {5, 1, 1, L"XP SP1"},    {5, 1, 0, L"XP"},
    };
    if (IsWindows10RS5AndAbove()) {
        out = L"10RS5+";
        return;
    }
    for (const Release& r : releases) {
        if (IsWindowsVersionOrGreater(r.major, r.minor, r.servicePack)) {
            out = r.label;
            return;
        }
    }
    out = L"Unknown OS";
}

const std::wstring& getOSVersion() {
    static const std::wstring label = [] {
        std::wstring text;
        getOSVersion(text);
        return text;
    }();
    return label;
}

unsigned int getFileVersionInfo(const std::wstring& path, std::wstring& out) {
    out = L"0.0.0.0";
    kitbase::VersionBlock block;
    if (path.empty() || !kitbase::readVersionBlock(kitbase::wideToUtf8(path), block))
        return 1;
    if (block.signature != kFixedFileInfoSignature)
        return 1;
    out = kitbase::wformat(L"%u.%u.%u.%u", block.fileVersionMS >> 16, block.fileVersionMS & 0xFFFF,
                           block.fileVersionLS >> 16, block.fileVersionLS & 0xFFFF);
    return 0;
}

unsigned int getPackageVersion(const std::wstring& /*name*/, std::wstring& out) {
    static const std::wstring file = createPath(getWorkingPath(), L"version.txt");
    std::ifstream in(kitbase::wideToUtf8(file), std::ios::binary);
    if (!in)
        return 0;
    std::string bytes;
    char c = 0;
    // Enough bytes for the longest line kept, however its characters are encoded.
    while (bytes.size() < kPackageLineChars * 4 + 2 && in.get(c)) {
        bytes += c;
        if (c == '\n')
            break;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    std::wstring line = kitbase::utf8ToWide(bytes);
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, L"\r\n") == 0)
        line.erase(line.size() - 2, 1);
    if (line.size() > kPackageLineChars)
        line.resize(kPackageLineChars);
    if (line.empty())
        return 0;
    out = line;
    return 1;
}

int compareVersions(const std::wstring& a, const std::wstring& b) {
    std::vector<std::wstring> partsA;
    std::vector<std::wstring> partsB;
    Explode(a, L".", partsA);
    Explode(b, L".", partsB);
    const size_t count = std::max(partsA.size(), partsB.size());
    for (size_t i = 0; i < count; ++i) {
        const uint32_t x = i < partsA.size() ? WS2I(partsA[i]) : 0;
        const uint32_t y = i < partsB.size() ? WS2I(partsB[i]) : 0;
        if (x != y)
            return x > y ? 1 : -1;
    }
    return 0;
}

const std::wstring& getMaschineID() {
    static const std::wstring id = [] {
        const std::wstring& product = getproductName();
        Registry productKey;
        // Without a product name there is no product key (the bare "SOFTWARE" key is
        // not ours to write).
        if (!product.empty())
            productKey.Create(L"SOFTWARE\\" + product, KEY_ALL_ACCESS);
        std::wstring value =
            productKey.valid() ? productKey.getStringValue(L"MaschineId") : getSRegValue(L"MaschineId");
        if (value.empty() && generateUUIDString(value) == 0) {
            __trace__.debug(L"Generated a new UUID for this machine:%ls", value);
            if (productKey.valid())
                productKey.setStringValue(L"MaschineId", value);
            setSRegValue(L"MaschineId", value);
        }
        productKey.close();
        return value;
    }();
    return id;
}
