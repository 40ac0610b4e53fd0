#include "kitbase/core/locks.h"

CriticalSection::CriticalSection() = default;

CriticalSection::~CriticalSection() = default;

void CriticalSection::Enter() {
    mutex_.lock();
}

void CriticalSection::Leave() {
    mutex_.unlock();
}
