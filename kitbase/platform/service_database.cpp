#include "kitbase/platform/service_database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "kitbase/platform/private_files.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

std::string fileKey(const std::wstring& name) {
    std::wstring lowered;
    for (wchar_t c : name)
        lowered += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return wideToUtf8(lowered);
}

std::string databaseFolder() {
    return programDataFolder() + "/ServiceManager";
}

// Values are one line each: backslash, line ends and tabs are escaped.
std::string escape(const std::wstring& text) {
    std::string out;
    for (char c : wideToUtf8(text)) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::wstring unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
    return utf8ToWide(out);
}

DWORD toNumber(const std::string& text) {
    return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
}

std::string serialize(const ServiceConfig& c) {
    std::ostringstream out;
    out << "Name=" << escape(c.name) << "\n";
    out << "DisplayName=" << escape(c.displayName) << "\n";
    out << "BinaryPath=" << escape(c.binaryPath) << "\n";
    out << "Type=" << c.serviceType << "\n";
    out << "StartType=" << c.startType << "\n";
    out << "ErrorControl=" << c.errorControl << "\n";
    for (const auto& d : c.dependencies)
        out << "Dependency=" << escape(d) << "\n";
    out << "Account=" << escape(c.account) << "\n";
    out << "Description=" << escape(c.description) << "\n";
    out << "FailureResetSeconds=" << c.failureResetSeconds << "\n";
    for (const auto& a : c.failureActions)
        out << "FailureAction=" << a.Type << "," << a.Delay << "\n";
    out << "PreshutdownTimeout=" << c.preshutdownTimeoutMs << "\n";
    return out.str();
}

void parse(const std::string& content, ServiceConfig& c) {
    c = ServiceConfig();
    c.preshutdownTimeoutMs = 0;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "Name")
            c.name = unescape(value);
        else if (key == "DisplayName")
            c.displayName = unescape(value);
        else if (key == "BinaryPath")
            c.binaryPath = unescape(value);
        else if (key == "Type")
            c.serviceType = toNumber(value);
        else if (key == "StartType")
            c.startType = toNumber(value);
        else if (key == "ErrorControl")
            c.errorControl = toNumber(value);
        else if (key == "Dependency")
            c.dependencies.push_back(unescape(value));
        else if (key == "Account")
            c.account = unescape(value);
        else if (key == "Description")
            c.description = unescape(value);
        else if (key == "FailureResetSeconds")
            c.failureResetSeconds = toNumber(value);
        else if (key == "FailureAction") {
            auto comma = value.find(',');
            SC_ACTION a;
            a.Type = toNumber(value.substr(0, comma));
            a.Delay = comma == std::string::npos ? 0 : toNumber(value.substr(comma + 1));
            c.failureActions.push_back(a);
        } else if (key == "PreshutdownTimeout")
            c.preshutdownTimeoutMs = toNumber(value);
    }
}

bool readWhole(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    content = s.str();
    return true;
}

// Writes the record through a temporary file and a rename, so a reader never sees half of it.
DWORD writeRecord(const ServiceConfig& config) {
    if (!ensurePrivateFolder(databaseFolder(), kPrivateFolderMode))
        return GetLastError();
    // Records name programs the manager runs as root: no other user reads or replaces them.
    if (!writeFileAtomically(ServiceDatabase::recordPath(config.name), serialize(config), kSecretFileMode))
        return winErrorFromErrno(errno ? errno : EIO);
    return ERROR_SUCCESS;
}

}  // namespace

std::wstring ServiceDatabase::registryKeyPath(const std::wstring& name) {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + name;
}

bool ServiceDatabase::validName(const std::wstring& name) {
    if (name.empty() || name.size() > 256)
        return false;
    for (wchar_t c : name)
        if (c == L'/' || c == L'\\' || c < 0x20)
            return false;
    return true;
}

std::string ServiceDatabase::recordPath(const std::wstring& name) {
    return databaseFolder() + "/" + fileKey(name) + ".service";
}

std::string ServiceDatabase::runPath(const std::wstring& name, const char* suffix) {
    return runFolder() + "/services/" + fileKey(name) + suffix;
}

DWORD ServiceDatabase::create(const ServiceConfig& config) {
    if (!validName(config.name) || config.binaryPath.empty())
        return ERROR_INVALID_NAME;
    ServiceConfig existing;
    if (read(config.name, existing) == ERROR_SUCCESS)
        return ERROR_SERVICE_EXISTS;
    DWORD rc = writeRecord(config);
    if (rc != ERROR_SUCCESS)
        return rc;

    RegistryStore& store = RegistryStore::machine();
    RegistryKey key;
    rc = store.createKey(registryKeyPath(config.name), KEY_ALL_ACCESS, key);
    if (rc == ERROR_SUCCESS) {
        const std::wstring account = config.account.empty() ? L"LocalSystem" : config.account;
        const std::wstring display = config.displayName.empty() ? config.name : config.displayName;
        if (rc == ERROR_SUCCESS)
            rc = store.setString(key, L"ImagePath", config.binaryPath);
        if (rc == ERROR_SUCCESS)
            rc = store.setString(key, L"DisplayName", display);
        if (rc == ERROR_SUCCESS)
            rc = store.setDword(key, L"Type", config.serviceType);
        if (rc == ERROR_SUCCESS)
            rc = store.setDword(key, L"Start", config.startType);
        if (rc == ERROR_SUCCESS)
            rc = store.setDword(key, L"ErrorControl", config.errorControl);
        if (rc == ERROR_SUCCESS)
            rc = store.setString(key, L"ObjectName", account);
        if (rc == ERROR_SUCCESS && !config.description.empty())
            rc = store.setString(key, L"Description", config.description);
    }
    if (rc != ERROR_SUCCESS) {
        // Leave no half-installed service behind.
        ::unlink(recordPath(config.name).c_str());
        store.deleteKey(registryKeyPath(config.name));
    }
    return rc;
}

DWORD ServiceDatabase::read(const std::wstring& name, ServiceConfig& out) {
    if (!validName(name))
        return ERROR_SERVICE_DOES_NOT_EXIST;
    std::string content;
    if (!readWhole(recordPath(name), content))
        return ERROR_SERVICE_DOES_NOT_EXIST;
    parse(content, out);
    return out.name.empty() ? ERROR_SERVICE_DOES_NOT_EXIST : ERROR_SUCCESS;
}

DWORD ServiceDatabase::update(const ServiceConfig& config) {
    ServiceConfig existing;
    DWORD rc = read(config.name, existing);
    if (rc != ERROR_SUCCESS)
        return rc;
    return writeRecord(config);
}

DWORD ServiceDatabase::remove(const std::wstring& name) {
    ServiceConfig existing;
    DWORD rc = read(name, existing);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (::unlink(recordPath(name).c_str()) != 0)
        return winErrorFromErrno(errno);
    DWORD regRc = RegistryStore::machine().deleteKey(registryKeyPath(existing.name));
    return regRc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : regRc;
}

}  // namespace kitbase
