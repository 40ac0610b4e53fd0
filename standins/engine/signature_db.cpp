#include "signature_db.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

#include "scanwarden/qvapi_interface.h"
#include "text.h"

namespace qv {

namespace {

std::atomic<uint64_t> nextGeneration{1};

bool readWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return false;
    out = buffer.str();
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(const std::string& hex, std::string& out) {
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

// "1.2.3.4" -> {1,2,3,4}; empty on anything else.
std::vector<uint32_t> versionNumbers(const std::string& text) {
    std::vector<uint32_t> out;
    for (const auto& part : splitList(text, '.')) {
        uint64_t v = 0;
        if (!parseNumber(part, v) || v > 0xFFFFFFFFu)
            return {};
        out.push_back(static_cast<uint32_t>(v));
    }
    return out;
}

// Reads "KEYWORD 1" header files into lines without comments and blank lines.
std::vector<std::string> contentLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        lines.push_back(t);
    }
    return lines;
}

}  // namespace

int32_t SignatureDb::load(const std::string& engineFolder, const std::string& vdfFolder,
                          std::shared_ptr<const SignatureDb>& out, std::string& error) {
    auto db = std::make_shared<SignatureDb>();

    std::string enginePath = engineFolder + "/" + kEngineFile;
    std::string text;
    if (!readWholeFile(enginePath, text)) {
        error = "engine file not found: " + enginePath;
        return QVAPI_E_ENGINE_NOT_FOUND;
    }
    auto lines = contentLines(text);
    if (lines.empty() || words(lines[0]) != std::vector<std::string>{"QVENGINE", "1"}) {
        error = "not an engine file: " + enginePath;
        return QVAPI_E_ENGINE_NOT_FOUND;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        auto w = words(lines[i]);
        if (w.size() == 2 && w[0] == "version" && !versionNumbers(w[1]).empty())
            db->engineVersion_ = fromUtf8(w[1]);
    }
    if (db->engineVersion_.empty()) {
        error = "engine file without a version: " + enginePath;
        return QVAPI_E_ENGINE_NOT_FOUND;
    }

    std::vector<std::string> names;
    if (DIR* dir = opendir(vdfFolder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            std::string ext = kVdfExtension;
            if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    if (names.empty()) {
        error = "no signature files in " + vdfFolder;
        return QVAPI_E_VDF_NOT_FOUND;
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string path = vdfFolder + "/" + name;
        if (!readWholeFile(path, text)) {
            error = "cannot read signature file " + path;
            return QVAPI_E_VDF_READ;
        }
        int32_t r = db->parseVdf(path, text, error);
        if (r != 0)
            return r;
    }
    db->matcher_.build();
    db->generation_ = nextGeneration.fetch_add(1);
    out = std::move(db);
    return 0;
}

int32_t SignatureDb::parseVdf(const std::string& path, const std::string& text, std::string& error) {
    auto lines = contentLines(text);
    auto fail = [&](size_t line, const std::string& why) {
        error = "bad signature file " + path + " (" + why +
                (line ? ", entry " + std::to_string(line) : std::string()) + ")";
        return QVAPI_E_VDF_READ;
    };
    if (lines.empty() || words(lines[0]) != std::vector<std::string>{"QVDF", "1"})
        return fail(0, "no QVDF 1 header");
    std::vector<Signature> sigs;
    std::vector<std::pair<std::string, size_t>> patterns;  // bytes, signature index
    std::vector<std::tuple<uint64_t, std::array<uint8_t, 32>, size_t>> digests;
    std::string version, date;
    bool ended = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (ended)
            return fail(i, "entries after end");
        auto w = words(lines[i]);
        // A line of blanks the trimming did not take (vertical tab, form feed) has no words.
        if (w.empty())
            return fail(i, "entry without words");
        if (w[0] == "version" && w.size() == 2 && !versionNumbers(w[1]).empty()) {
            version = w[1];
        } else if (w[0] == "date" && w.size() == 2) {
            date = w[1];
        } else if ((w[0] == "pattern" && w.size() == 5) || (w[0] == "digest" && w.size() == 6)) {
            int32_t answer = 0;
            if (w[3] == "malware")
                answer = QVAPI_SCAN_ANSWER_MALWARE;
            else if (w[3] == "suspicious")
                answer = QVAPI_SCAN_ANSWER_SUSPICIOUS;
            else
                return fail(i, "level must be malware or suspicious");
            size_t index = signatures_.size() + sigs.size();
            if (w[0] == "pattern") {
                std::string bytes;
                if (!parseHex(w[4], bytes) || bytes.size() < PatternMatcher::kMinPatternLength ||
                    bytes.size() > PatternMatcher::kMaxPatternLength)
                    return fail(i, "pattern must be 4 to 1024 bytes in hex");
                patterns.emplace_back(std::move(bytes), index);
            } else {
                uint64_t size = 0;
                std::string raw;
                if (!parseNumber(w[4], size) || !parseHex(w[5], raw) || raw.size() != 32)
                    return fail(i, "digest needs a size and a SHA-256 in hex");
                std::array<uint8_t, 32> digest{};
                std::copy(raw.begin(), raw.end(), digest.begin());
                digests.emplace_back(size, digest, index);
            }
            sigs.push_back({fromUtf8(w[1]), fromUtf8(w[2]), answer});
        } else if (w[0] == "end" && w.size() == 2) {
            uint64_t count = 0;
            if (!parseNumber(w[1], count) || count != sigs.size())
                return fail(i, "signature count does not match (file incomplete?)");
            ended = true;
        } else {
            return fail(i, "unknown entry '" + w[0] + "'");
        }
    }
    if (!ended)
        return fail(0, "no end line (file incomplete?)");
    if (version.empty())
        return fail(0, "no version");

    for (auto& [bytes, index] : patterns)
        matcher_.add(bytes, static_cast<uint32_t>(index));
    for (auto& [size, digest, index] : digests)
        digests_[size].emplace_back(digest, static_cast<uint32_t>(index));
    for (auto& s : sigs)
        signatures_.push_back(std::move(s));
    // The database's version and date are those of its newest file.
    auto numbers = versionNumbers(version);
    if (numbers > vdfVersionNumbers_) {
        vdfVersionNumbers_ = numbers;
        vdfVersion_ = fromUtf8(version);
        if (!date.empty())
            vdfDate_ = fromUtf8(date);
    }
    return 0;
}

int64_t SignatureDb::findDigest(uint64_t size, const std::array<uint8_t, 32>& digest) const {
    auto it = digests_.find(size);
    if (it == digests_.end())
        return -1;
    for (const auto& [d, index] : it->second)
        if (d == digest)
            return index;
    return -1;
}

}  // namespace qv
