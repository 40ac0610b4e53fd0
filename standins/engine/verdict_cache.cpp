#include "verdict_cache.h"

namespace qv {

VerdictCache::Key VerdictCache::Key::of(const struct stat& st) {
    return Key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
               static_cast<uint64_t>(st.st_size),
               static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
               static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

size_t VerdictCache::KeyHash::operator()(const Key& k) const {
    uint64_t h = k.ino * 0x9E3779B97F4A7C15ull;
    h ^= (k.dev + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2));
    h ^= (static_cast<uint64_t>(k.mtime) + (h << 6) + (h >> 2));
    h ^= (static_cast<uint64_t>(k.ctime) + (h << 6) + (h >> 2));
    h ^= (k.size + (h << 6) + (h >> 2));
    return static_cast<size_t>(h);
}

VerdictCache::Shard& VerdictCache::shardOf(const Key& key) const {
    return shards_[(key.ino ^ (key.ino >> 7)) % kShards];
}

bool VerdictCache::isClean(const Key& key, uint64_t generation, bool needArchives) const {
    Shard& shard = shardOf(key);
    std::lock_guard<std::mutex> guard(shard.lock);
    auto it = shard.entries.find(key);
    return it != shard.entries.end() && it->second.generation == generation &&
           (it->second.archivesDone || !needArchives);
}

void VerdictCache::storeClean(const Key& key, uint64_t generation, bool archivesDone) {
    Shard& shard = shardOf(key);
    std::lock_guard<std::mutex> guard(shard.lock);
    if (shard.entries.size() >= kShardCapacity)
        shard.entries.clear();
    shard.entries[key] = Value{generation, archivesDone};
}

void VerdictCache::clear() {
    for (auto& shard : shards_) {
        std::lock_guard<std::mutex> guard(shard.lock);
        shard.entries.clear();
    }
}

}  // namespace qv
