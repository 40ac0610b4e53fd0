#include "kitbase/core/registry.h"

#include <cstring>
#include <utility>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/platform/winerror.h"

namespace {

// Longest string value that getStringValue reads, in bytes.
constexpr size_t kStringBufferBytes = 1023;

kitbase::RegistryStore& store() {
    return kitbase::RegistryStore::machine();
}

bool failed(DWORD rc) {
    if (rc == ERROR_SUCCESS)
        return false;
    SetLastError(rc);
    return true;
}

}  // namespace

Registry::Registry(const std::wstring& path, DWORD access) : path_(path) {
    if (!path_.empty())
        valid_ = !failed(store().openKey(path_, access, key_));
}

Registry::~Registry() {
    close();
}

Registry::Registry(Registry&& other) noexcept
    : path_(std::move(other.path_)),
      key_(std::exchange(other.key_, {})),
      valid_(std::exchange(other.valid_, false)) {}

Registry& Registry::operator=(Registry&& other) noexcept {
    if (this != &other) {
        close();
        path_ = std::move(other.path_);
        key_ = std::exchange(other.key_, {});
        valid_ = std::exchange(other.valid_, false);
    }
    return *this;
}

bool Registry::Create(const std::wstring& path, DWORD access) {
    close();
    path_ = path;
    valid_ = !failed(store().createKey(path_, access, key_));
    return valid_;
}

void Registry::close() {
    key_ = {};
    valid_ = false;
}

std::wstring Registry::getStringValue(const std::wstring& name) {
    if (!valid_)
        return {};
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    if (failed(store().queryValue(key_, name, type, data)))
        return {};
    if (data.size() > kStringBufferBytes) {
        SetLastError(ERROR_MORE_DATA);
        return {};
    }
    return kitbase::registryTextFromBytes(data.data(), data.size());
}

int Registry::setStringValue(const std::wstring& name, const std::wstring& text) {
    if (!valid_)
        return -1;
    return failed(store().setValue(key_, name, REG_SZ, kitbase::registryTextBytes(text))) ? -1 : 0;
}

int Registry::getIntValue(const std::wstring& name) {
    if (!valid_)
        return -1;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    if (failed(store().queryValue(key_, name, type, data)))
        return -1;
    if (data.size() > sizeof(DWORD)) {
        SetLastError(ERROR_MORE_DATA);
        return -1;
    }
    DWORD value = 0;
    for (size_t i = 0; i < data.size(); ++i)
        value |= static_cast<DWORD>(data[i]) << (8 * i);
    return static_cast<int>(value);
}

int Registry::setIntValue(const std::wstring& name, int value) {
    if (!valid_)
        return -1;
    return failed(store().setDword(key_, name, static_cast<DWORD>(value))) ? -1 : 0;
}

int Registry::delValue(const std::wstring& name) {
    if (!valid_)
        return -1;
    DWORD rc = store().deleteValue(key_, name);
    failed(rc);
    return static_cast<int>(rc);
}

int setIRegValue(const std::wstring& name, int value) {
    const std::wstring& path = getServiceRegPath();
    if (path.empty())
        return -1;
    Registry key(path, KEY_WRITE);
    return key.valid() ? key.setIntValue(name, value) : -1;
}

int setSRegValue(const std::wstring& name, const std::wstring& text) {
    const std::wstring& path = getServiceRegPath();
    if (path.empty())
        return -1;
    Registry key(path, KEY_WRITE);
    return key.valid() ? key.setStringValue(name, text) : -1;
}

int getIRegValue(const std::wstring& name) {
    const std::wstring& path = getServiceRegPath();
    if (path.empty())
        return -1;
    Registry key(path, KEY_READ);
    return key.valid() ? key.getIntValue(name) : -1;
}

std::wstring getSRegValue(const std::wstring& name) {
    const std::wstring& path = getServiceRegPath();
    if (path.empty())
        return {};
    Registry key(path, KEY_READ);
    return key.valid() ? key.getStringValue(name) : std::wstring();
}

int delRegValue(const std::wstring& name) {
    const std::wstring& path = getServiceRegPath();
    if (path.empty())
        return -1;
    Registry key(path, KEY_ALL_ACCESS);
    return key.valid() ? key.delValue(name) : -1;
}
