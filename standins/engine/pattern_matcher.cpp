#include "pattern_matcher.h"

#include <algorithm>
#include <cstring>

namespace qv {

namespace {
uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
}  // namespace

bool PatternMatcher::add(const std::string& bytes, uint32_t id) {
    if (bytes.size() < kMinPatternLength || bytes.size() > kMaxPatternLength)
        return false;
    patterns_.push_back({bytes, id});
    return true;
}

void PatternMatcher::build() {
    first2_.assign(65536 / 64, 0);
    hashed4_.assign((1u << 20) / 64, 0);
    entries_.clear();
    maxLength_ = 0;
    for (uint32_t i = 0; i < patterns_.size(); ++i) {
        const auto* p = reinterpret_cast<const uint8_t*>(patterns_[i].bytes.data());
        uint32_t two = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
        first2_[two >> 6] |= 1ull << (two & 63);
        uint32_t prefix = load32(p);
        uint32_t h = hash4(prefix);
        hashed4_[h >> 6] |= 1ull << (h & 63);
        entries_.push_back({prefix, i});
        maxLength_ = std::max(maxLength_, patterns_[i].bytes.size());
    }
    std::stable_sort(entries_.begin(), entries_.end());
}

int64_t PatternMatcher::find(const uint8_t* data, size_t length, size_t limit) const {
    if (entries_.empty() || length < kMinPatternLength)
        return -1;
    // A match needs four bytes at its position.
    limit = std::min(limit, length - kMinPatternLength + 1);
    const uint64_t* first2 = first2_.data();
    for (size_t i = 0; i < limit; ++i) {
        uint32_t two = static_cast<uint32_t>(data[i]) | (static_cast<uint32_t>(data[i + 1]) << 8);
        if (!(first2[two >> 6] & (1ull << (two & 63))))
            continue;
        uint32_t prefix = load32(data + i);
        uint32_t h = hash4(prefix);
        if (!(hashed4_[h >> 6] & (1ull << (h & 63))))
            continue;
        auto range = std::equal_range(entries_.begin(), entries_.end(), Entry{prefix, 0});
        for (auto it = range.first; it != range.second; ++it) {
            const Pattern& pattern = patterns_[it->index];
            size_t n = pattern.bytes.size();
            if (i + n <= length && std::memcmp(data + i, pattern.bytes.data(), n) == 0)
                return pattern.id;
        }
    }
    return -1;
}

}  // namespace qv
