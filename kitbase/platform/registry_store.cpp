#include "kitbase/platform/registry_store.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <locale.h>
#include <sqlite3.h>
#include <unistd.h>
#include <wctype.h>

#include <cstring>
#include <filesystem>
#include <new>

#include "kitbase/platform/private_files.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"

namespace kitbase {

const wchar_t* const kWindowsVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

namespace {

// Writers wait this long for another process's transaction before giving up.
constexpr int kBusyTimeoutMs = 15000;
constexpr int kSchemaVersion = 1;

// Case folding for key paths and value names: Unicode lower case where the C.UTF-8
// locale is available, ASCII otherwise.
wchar_t foldChar(wchar_t c) {
    static const locale_t utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (c < 0x80)
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
    return utf8Locale ? static_cast<wchar_t>(towlower_l(static_cast<wint_t>(c), utf8Locale)) : c;
}

std::string folded(const std::wstring& text) {
    std::wstring out(text);
    for (auto& c : out)
        c = foldChar(c);
    return wideToUtf8(out);
}

// Splits a key path into its names; false for an empty path, an empty name inside it
// or a name holding a NUL (trailing backslashes are ignored).
bool splitKeyPath(const std::wstring& path, std::vector<std::wstring>& parts) {
    std::wstring p = path;
    while (!p.empty() && p.back() == L'\\')
        p.pop_back();
    if (p.empty())
        return false;
    size_t start = 0;
    while (true) {
        size_t end = p.find(L'\\', start);
        std::wstring part = p.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        // A NUL cannot stand in a key name (the store compares names as texts).
        if (part.empty() || part.find(L'\0') != std::wstring::npos)
            return false;
        parts.push_back(part);
        if (end == std::wstring::npos)
            return true;
        start = end + 1;
    }
}

std::wstring joinKeyPath(const std::vector<std::wstring>& parts, size_t count) {
    std::wstring out;
    for (size_t i = 0; i < count; ++i) {
        if (i)
            out += L'\\';
        out += parts[i];
    }
    return out;
}

DWORD errorOf(const SQLite::Exception& e) {
    switch (e.getErrorCode() & 0xFF) {
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

// Runs one store operation, turning every failure into a Windows error code.
template <class F>
DWORD guarded(F&& body) {
    try {
        return body();
    } catch (const SQLite::Exception& e) {
        return errorOf(e);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (const std::exception&) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

int64_t findKey(SQLite::Database& db, const std::string& fold) {
    SQLite::Statement q(db, "SELECT id FROM reg_keys WHERE fold = ?");
    q.bind(1, fold);
    return q.executeStep() ? q.getColumn(0).getInt64() : 0;
}

bool keyExists(SQLite::Database& db, int64_t id) {
    SQLite::Statement q(db, "SELECT 1 FROM reg_keys WHERE id = ?");
    q.bind(1, static_cast<int64_t>(id));
    return q.executeStep();
}

// Creates the key and its missing parents; returns its id. Runs inside a transaction.
int64_t ensureKey(SQLite::Database& db, const std::vector<std::wstring>& parts, bool* created) {
    int64_t id = 0;
    for (size_t n = 1; n <= parts.size(); ++n) {
        std::wstring path = joinKeyPath(parts, n);
        std::string fold = folded(path);
        id = findKey(db, fold);
        if (!id) {
            SQLite::Statement ins(db, "INSERT INTO reg_keys(fold, path) VALUES(?, ?)");
            ins.bind(1, fold);
            ins.bind(2, wideToUtf8(path));
            ins.exec();
            id = db.getLastInsertRowid();
            if (n == parts.size() && created)
                *created = true;
        }
    }
    return id;
}

void putValue(SQLite::Database& db, int64_t key, const std::wstring& name, DWORD type,
              const std::vector<BYTE>& data) {
    // A value written again keeps the name it was first written with, as the type and
    // the data change.
    SQLite::Statement q(db,
                        "INSERT INTO reg_values(key_id, fold, name, type, data) VALUES(?, ?, ?, ?, ?) "
                        "ON CONFLICT(key_id, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    q.bind(1, static_cast<int64_t>(key));
    q.bind(2, folded(name));
    q.bind(3, wideToUtf8(name));
    q.bind(4, static_cast<int64_t>(type));
    // An empty value is a zero-length blob, not NULL.
    static const BYTE none = 0;
    q.bind(5, data.empty() ? &none : data.data(), static_cast<int>(data.size()));
    q.exec();
}

std::vector<BYTE> dwordBytes(DWORD value) {
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

// A new store presents a Windows 10 client.
void seedWindowsVersion(SQLite::Database& db) {
    std::vector<std::wstring> parts;
    splitKeyPath(kWindowsVersionKey, parts);
    int64_t key = ensureKey(db, parts, nullptr);
    putValue(db, key, L"CurrentVersion", REG_SZ, registryTextBytes(L"6.3"));
    putValue(db, key, L"CurrentBuild", REG_SZ, registryTextBytes(L"19045"));
    putValue(db, key, L"CurrentMajorVersionNumber", REG_DWORD, dwordBytes(10));
    putValue(db, key, L"CurrentMinorVersionNumber", REG_DWORD, dwordBytes(0));
    putValue(db, key, L"InstallationType", REG_SZ, registryTextBytes(L"Client"));
}

}  // namespace

std::vector<BYTE> registryTextBytes(const std::wstring& text) {
    std::vector<BYTE> out;
    out.reserve(text.size() * 2);
    auto unit = [&out](uint32_t u) {
        out.push_back(static_cast<BYTE>(u));
        out.push_back(static_cast<BYTE>(u >> 8));
    };
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        // A surrogate pair in the wide text is one character, as the UTF-8 codec reads it.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
            uint32_t next = static_cast<uint32_t>(text[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xD800 + (c >> 10));
            unit(0xDC00 + (c & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

std::wstring registryTextFromBytes(const BYTE* data, size_t size) {
    std::wstring out;
    size_t units = size / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = data[2 * i] | (static_cast<uint32_t>(data[2 * i + 1]) << 8);
        if (u == 0)
            break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t lo = data[2 * i + 2] | (static_cast<uint32_t>(data[2 * i + 3]) << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        out += static_cast<wchar_t>((u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
    }
    return out;
}

RegistryStore::RegistryStore(std::string databasePath) : path_(std::move(databasePath)) {}

RegistryStore::~RegistryStore() {
    // A connection inherited from the parent process is not closed by a forked child.
    if (db_ && openedBy_ != static_cast<long>(getpid()))
        (void)db_.release();
}

RegistryStore& RegistryStore::machine() {
    static RegistryStore store(registryStorePath());
    return store;
}

SQLite::Database& RegistryStore::db() {
    const long pid = static_cast<long>(getpid());
    if (db_ && openedBy_ == pid)
        return *db_;
    if (db_)
        (void)db_.release();  // the parent's connection is left alone in a forked child

    std::filesystem::path file(path_);
    // The store holds the machine id and the programs services run: private to its owner.
    if (file.has_parent_path())
        ensurePrivateFolder(file.parent_path().string(), kPrivateFolderMode);
    if (int fd = openPrivateAppend(path_, kSecretFileMode); fd >= 0)
        ::close(fd);
    auto db = std::make_unique<SQLite::Database>(path_, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE,
                                                 kBusyTimeoutMs);
    db->execAndGet("PRAGMA journal_mode = WAL");
    db->exec("PRAGMA synchronous = NORMAL");
    if (db->execAndGet("PRAGMA user_version").getInt() != kSchemaVersion) {
        SQLite::Transaction tx(*db, SQLite::TransactionBehavior::IMMEDIATE);
        if (db->execAndGet("PRAGMA user_version").getInt() != kSchemaVersion) {
            db->exec(
                "CREATE TABLE IF NOT EXISTS reg_keys("
                " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                " fold TEXT NOT NULL UNIQUE,"
                " path TEXT NOT NULL)");
            db->exec(
                "CREATE TABLE IF NOT EXISTS reg_values("
                " key_id INTEGER NOT NULL,"
                " fold TEXT NOT NULL,"
                " name TEXT NOT NULL,"
                " type INTEGER NOT NULL,"
                " data BLOB NOT NULL,"
                " PRIMARY KEY(key_id, fold))");
            seedWindowsVersion(*db);
            db->exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
        }
        tx.commit();
    }
    db_ = std::move(db);
    openedBy_ = pid;
    return *db_;
}

DWORD RegistryStore::openKey(const std::wstring& path, DWORD access, RegistryKey& out) {
    std::vector<std::wstring> parts;
    if (!splitKeyPath(path, parts))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    return guarded([&]() -> DWORD {
        int64_t id = findKey(db(), folded(joinKeyPath(parts, parts.size())));
        if (!id)
            return ERROR_FILE_NOT_FOUND;
        out = RegistryKey{id, access};
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::createKey(const std::wstring& path, DWORD access, RegistryKey& out, bool* created) {
    std::vector<std::wstring> parts;
    if (!splitKeyPath(path, parts))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    return guarded([&]() -> DWORD {
        bool isNew = false;
        SQLite::Database& d = db();
        SQLite::Transaction tx(d, SQLite::TransactionBehavior::IMMEDIATE);
        int64_t id = ensureKey(d, parts, &isNew);
        tx.commit();
        out = RegistryKey{id, access};
        if (created)
            *created = isNew;
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::deleteKey(const std::wstring& path) {
    std::vector<std::wstring> parts;
    if (!splitKeyPath(path, parts))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    return guarded([&]() -> DWORD {
        SQLite::Database& d = db();
        const std::string fold = folded(joinKeyPath(parts, parts.size()));
        SQLite::Transaction tx(d, SQLite::TransactionBehavior::IMMEDIATE);
        if (!findKey(d, fold))
            return ERROR_FILE_NOT_FOUND;
        // The key and every key below it (whose folded path starts with its own and a backslash).
        const char* match = "(fold = ?1 OR substr(fold, 1, length(?1) + 1) = ?1 || '\\')";
        SQLite::Statement values(
            d, std::string("DELETE FROM reg_values WHERE key_id IN (SELECT id FROM reg_keys WHERE ") + match +
                   ")");
        values.bind(1, fold);
        values.exec();
        SQLite::Statement keys(d, std::string("DELETE FROM reg_keys WHERE ") + match);
        keys.bind(1, fold);
        keys.exec();
        tx.commit();
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::setValue(const RegistryKey& key, const std::wstring& name, DWORD type,
                              const std::vector<BYTE>& data) {
    if (!key.isOpen())
        return ERROR_INVALID_HANDLE;
    if (!(key.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> guard(lock_);
    return guarded([&]() -> DWORD {
        SQLite::Database& d = db();
        SQLite::Transaction tx(d, SQLite::TransactionBehavior::IMMEDIATE);
        if (!keyExists(d, key.id))
            return ERROR_KEY_DELETED;
        putValue(d, key.id, name, type, data);
        tx.commit();
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::queryValue(const RegistryKey& key, const std::wstring& name, DWORD& type,
                                std::vector<BYTE>& data) {
    if (!key.isOpen())
        return ERROR_INVALID_HANDLE;
    if (!(key.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> guard(lock_);
    return guarded([&]() -> DWORD {
        SQLite::Database& d = db();
        SQLite::Transaction tx(d);  // one consistent view for the value and the key test
        SQLite::Statement q(d, "SELECT type, data FROM reg_values WHERE key_id = ? AND fold = ?");
        q.bind(1, static_cast<int64_t>(key.id));
        q.bind(2, folded(name));
        if (!q.executeStep())
            return keyExists(d, key.id) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
        type = static_cast<DWORD>(q.getColumn(0).getInt64());
        SQLite::Column blob = q.getColumn(1);
        const BYTE* bytes = static_cast<const BYTE*>(blob.getBlob());
        if (bytes)
            data.assign(bytes, bytes + blob.getBytes());
        else
            data.clear();
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::deleteValue(const RegistryKey& key, const std::wstring& name) {
    if (!key.isOpen())
        return ERROR_INVALID_HANDLE;
    if (!(key.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> guard(lock_);
    return guarded([&]() -> DWORD {
        SQLite::Database& d = db();
        SQLite::Transaction tx(d, SQLite::TransactionBehavior::IMMEDIATE);
        if (!keyExists(d, key.id))
            return ERROR_KEY_DELETED;
        SQLite::Statement q(d, "DELETE FROM reg_values WHERE key_id = ? AND fold = ?");
        q.bind(1, static_cast<int64_t>(key.id));
        q.bind(2, folded(name));
        int removed = q.exec();
        tx.commit();
        return removed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

DWORD RegistryStore::setString(const RegistryKey& key, const std::wstring& name, const std::wstring& text) {
    return setValue(key, name, REG_SZ, registryTextBytes(text));
}

DWORD RegistryStore::setDword(const RegistryKey& key, const std::wstring& name, DWORD value) {
    return setValue(key, name, REG_DWORD, dwordBytes(value));
}

DWORD RegistryStore::getString(const RegistryKey& key, const std::wstring& name, std::wstring& text) {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    DWORD rc = queryValue(key, name, type, data);
    if (rc == ERROR_SUCCESS)
        text = registryTextFromBytes(data.data(), data.size());
    return rc;
}

DWORD RegistryStore::getDword(const RegistryKey& key, const std::wstring& name, DWORD& value) {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    DWORD rc = queryValue(key, name, type, data);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (data.size() != 4)
        return ERROR_INVALID_DATA;
    value = data[0] | (static_cast<DWORD>(data[1]) << 8) | (static_cast<DWORD>(data[2]) << 16) |
            (static_cast<DWORD>(data[3]) << 24);
    return ERROR_SUCCESS;
}

WindowsVersionNumbers windowsVersionNumbers() {
    WindowsVersionNumbers v;
    RegistryStore& store = RegistryStore::machine();
    RegistryKey key;
    if (store.openKey(kWindowsVersionKey, KEY_READ, key) != ERROR_SUCCESS)
        return v;
    DWORD major = 0;
    DWORD minor = 0;
    if (store.getDword(key, L"CurrentMajorVersionNumber", major) == ERROR_SUCCESS &&
        store.getDword(key, L"CurrentMinorVersionNumber", minor) == ERROR_SUCCESS) {
        v.major = major;
        v.minor = minor;
    } else {
        std::wstring text;
        if (store.getString(key, L"CurrentVersion", text) == ERROR_SUCCESS) {
            unsigned a = 0;
            unsigned b = 0;
            if (swscanf(text.c_str(), L"%u.%u", &a, &b) == 2) {
                v.major = a;
                v.minor = b;
            }
        }
    }
    std::wstring csd;
    if (store.getString(key, L"CSDVersion", csd) == ERROR_SUCCESS) {
        size_t digits = csd.find_last_not_of(L"0123456789");
        digits = digits == std::wstring::npos ? 0 : digits + 1;
        if (digits < csd.size())
            v.servicePackMajor = static_cast<WORD>(std::wcstoul(csd.c_str() + digits, nullptr, 10));
    }
    return v;
}

}  // namespace kitbase
