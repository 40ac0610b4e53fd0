#pragma once
// The loaded engine and signature files (format: README.md): versions, the named
// signatures, the pattern matcher and the file-digest index. Immutable once loaded;
// scans share it through a shared pointer, a reload replaces it.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pattern_matcher.h"

namespace qv {

struct Signature {
    std::wstring name;
    std::wstring type;
    int32_t answer;  // QVAPI_SCAN_ANSWER_MALWARE or _SUSPICIOUS
};

class SignatureDb {
public:
    static constexpr const char* kEngineFile = "qvcore.dat";
    static constexpr const char* kVdfExtension = ".vdf";

    // Loads the engine file from `engineFolder` and every "*.vdf" file from
    // `vdfFolder`. Returns 0, QVAPI_E_ENGINE_NOT_FOUND, QVAPI_E_VDF_NOT_FOUND or
    // QVAPI_E_VDF_READ; `error` says what went wrong.
    static int32_t load(const std::string& engineFolder, const std::string& vdfFolder,
                        std::shared_ptr<const SignatureDb>& out, std::string& error);

    const std::wstring& engineVersion() const { return engineVersion_; }
    const std::wstring& vdfVersion() const { return vdfVersion_; }
    const std::wstring& vdfDate() const { return vdfDate_; }
    const std::vector<Signature>& signatures() const { return signatures_; }
    const PatternMatcher& matcher() const { return matcher_; }
    uint64_t generation() const { return generation_; }

    // True when some digest signature is for files of this size.
    bool hasDigestsOfSize(uint64_t size) const { return digests_.count(size) != 0; }
    // Signature index of a digest match, or -1.
    int64_t findDigest(uint64_t size, const std::array<uint8_t, 32>& digest) const;

private:
    int32_t parseVdf(const std::string& path, const std::string& text, std::string& error);

    std::wstring engineVersion_;
    std::wstring vdfVersion_;
    std::vector<uint32_t> vdfVersionNumbers_;
    std::wstring vdfDate_;
    std::vector<Signature> signatures_;
    PatternMatcher matcher_;
    std::unordered_map<uint64_t, std::vector<std::pair<std::array<uint8_t, 32>, uint32_t>>> digests_;
    uint64_t generation_ = 0;
};

}  // namespace qv
