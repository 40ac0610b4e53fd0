#pragma once
// The in-process locking primitives: a re-entrant lock, its scoped holder, and a
// value guarded by its own lock.
#include <mutex>

#include "kitbase/export.h"

// A lock that the owning thread may enter again (every Enter needs its Leave).
class KITBASE_API CriticalSection {
public:
    CriticalSection();
    virtual ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // Blocks until the calling thread holds the lock.
    void Enter();
    void Leave();

private:
    std::recursive_mutex mutex_;
};

// Holds a CriticalSection for its own lifetime.
class KITBASE_API AutoCriticalSection {
public:
    explicit AutoCriticalSection(CriticalSection& section) : section_(section) { section_.Enter(); }
    ~AutoCriticalSection() { section_.Leave(); }
    AutoCriticalSection(const AutoCriticalSection&) = delete;
    AutoCriticalSection& operator=(const AutoCriticalSection&) = delete;

private:
    CriticalSection& section_;
};

// A value that is only ever read or changed under its own lock. Every operation
// hands back a copy taken under the lock, so no caller reads the value unguarded.
template <typename T, int N = 0>
class MTProtectedType {
public:
    explicit MTProtectedType(const T& value = static_cast<T>(N)) {
        AutoCriticalSection guard(lock_);
        value_ = value;
    }
    MTProtectedType(const MTProtectedType&) = delete;
    MTProtectedType& operator=(const MTProtectedType&) = delete;

    // Prefix increment and decrement: the new value.
    T operator++() {
        AutoCriticalSection guard(lock_);
        return ++value_;
    }
    T operator--() {
        AutoCriticalSection guard(lock_);
        return --value_;
    }
    T operator=(const T& value) {
        AutoCriticalSection guard(lock_);
        value_ = value;
        return value_;
    }
    // The current value.
    T data() {
        AutoCriticalSection guard(lock_);
        return value_;
    }

private:
    CriticalSection lock_;
    T value_{};
};
