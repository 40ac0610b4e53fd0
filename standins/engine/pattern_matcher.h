#pragma once
// Multi-pattern byte matcher. Every position of the input is tested once against all
// patterns together: a bit table over the first two bytes and a second bit table over
// a hash of the first four bytes reject almost every position with two memory reads;
// the few positions that pass are checked against the patterns that share their first
// four bytes. Patterns are 4 to kMaxPatternLength bytes long.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

class PatternMatcher {
public:
    static constexpr size_t kMinPatternLength = 4;
    static constexpr size_t kMaxPatternLength = 1024;

    // Adds a pattern with the caller's id; false when its length is out of range.
    bool add(const std::string& bytes, uint32_t id);
    // Prepares the tables; call once after the last add.
    void build();

    bool empty() const { return patterns_.empty(); }
    // Longest pattern (0 when empty): a streaming caller keeps this many bytes - 1
    // from the end of one block in front of the next.
    size_t maxLength() const { return maxLength_; }

    // Tests the positions [0, limit) of data[0, length); a pattern matches only when it
    // lies wholly inside data. Returns the id of the first match, or -1.
    int64_t find(const uint8_t* data, size_t length, size_t limit) const;

private:
    struct Entry {
        uint32_t prefix;  // first four bytes, little-endian
        uint32_t index;   // into patterns_
        bool operator<(const Entry& other) const { return prefix < other.prefix; }
    };
    struct Pattern {
        std::string bytes;
        uint32_t id;
    };
    static uint32_t hash4(uint32_t prefix) { return (prefix * 2654435761u) >> 12; }  // 20 bits

    std::vector<Pattern> patterns_;
    std::vector<Entry> entries_;     // sorted by prefix
    std::vector<uint64_t> first2_;   // 65536 bits
    std::vector<uint64_t> hashed4_;  // 1 << 20 bits
    size_t maxLength_ = 0;
};

}  // namespace qv
