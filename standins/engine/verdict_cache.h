#pragma once
// Files found clean, keyed so that any write to the file misses: device, inode, size,
// modification and status-change times (nanoseconds). An entry counts only for the
// signature database it was scanned with. Sharded so that concurrent scans rarely
// meet on one lock; a full shard is emptied.
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace qv {

class VerdictCache {
public:
    struct Key {
        uint64_t dev, ino, size;
        int64_t mtime, ctime;
        bool operator==(const Key&) const = default;
        static Key of(const struct stat& st);
    };

    // True when the file is known clean for this database; `needArchives` asks for a
    // result that included the members of an archive.
    bool isClean(const Key& key, uint64_t generation, bool needArchives) const;
    // `archivesDone`: the file is no archive, or its members were scanned too.
    void storeClean(const Key& key, uint64_t generation, bool archivesDone);
    void clear();

private:
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    struct Value {
        uint64_t generation;
        bool archivesDone;
    };
    struct Shard {
        mutable std::mutex lock;
        std::unordered_map<Key, Value, KeyHash> entries;
    };
    static constexpr size_t kShards = 32;
    static constexpr size_t kShardCapacity = 16384;
    Shard& shardOf(const Key& key) const;

    mutable std::array<Shard, kShards> shards_;
};

}  // namespace qv
