#include "kitbase/core/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/winerror.h"

namespace {

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

Context newContext() {
    Context context(EVP_MD_CTX_new());
    if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        context.reset();
    return context;
}

bool finish(EVP_MD_CTX* context, uint8_t (&digest)[32]) {
    unsigned int length = 0;
    return EVP_DigestFinal_ex(context, digest, &length) == 1 && length == sizeof(digest);
}

}  // namespace

std::string SHA_256::calculateText(const std::string& text) {
    finalized_ = false;
    Context context = newContext();
    if (!context || EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
        !finish(context.get(), digest_))
        return {};
    finalized_ = true;
    return hexdigestA();
}

std::wstring SHA_256::calculateText(const std::wstring& text) {
    return S2WS(calculateText(WS2S(text)));
}

std::wstring SHA_256::calculateFile(const std::wstring& path) {
    finalized_ = false;
    FILE* file = std::fopen(WS2S(path).c_str(), "rb");
    if (!file) {
        setLastErrorFromErrno();
        __trace__.error(L"Cannot open file '%ls' for reading", path);
        return {};
    }
    Context context = newContext();
    bool ok = context != nullptr;
    std::vector<unsigned char> piece(65536);
    size_t length;
    while (ok && (length = std::fread(piece.data(), 1, piece.size(), file)) > 0)
        ok = EVP_DigestUpdate(context.get(), piece.data(), length) == 1;
    // A read error (a folder, a failing disk) must not pass as the digest of the
    // bytes read so far.
    if (ok && std::ferror(file)) {
        setLastErrorFromErrno();
        __trace__.error(L"Cannot open file '%ls' for reading", path);
        ok = false;
    }
    std::fclose(file);
    if (!ok || !finish(context.get(), digest_))
        return {};
    finalized_ = true;
    return hexdigestW();
}

std::string SHA_256::hexdigestA() const {
    if (!finalized_)
        return {};
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (uint8_t byte : digest_) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
}

std::wstring SHA_256::hexdigestW() const {
    return S2WS(hexdigestA());
}

std::wstring SHA_256::hexdigest() const {
    return hexdigestW();
}

std::wstring SHA256Text(const std::wstring& text) {
    return SHA_256().calculateText(text);
}

std::string SHA256Text(const std::string& text) {
    return WS2S(SHA_256().calculateText(S2WS(text)));
}

std::wstring SHA256File(const std::wstring& path) {
    return SHA_256().calculateFile(path);
}
