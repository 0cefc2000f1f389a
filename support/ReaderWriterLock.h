// A reader-writer lock built from a critical section, a reader count and an
// auto-reset event.
//
// Readers take the critical section only to change the count. A writer takes it
// and keeps it for its whole exclusive section, so readers arriving meanwhile
// block on it; before going ahead the writer waits for the readers already inside
// to leave. The critical section is recursive, so the thread holding the
// exclusive mode may take and give back the shared mode inside it. A thread that
// holds the shared mode must not ask for the exclusive mode: it would wait for
// itself.
//
// Several writers may wait for the readers at once; each of them is woken once the
// readers are gone (the one that gets through signals the next on its way out).
// Readers arriving while writers wait for them are let in, so a steady stream of
// readers can hold writers off.
#pragma once

#include <windows.h>

#include "support/Owners.h"

namespace veska {

class ReaderWriterLock {
public:
    ReaderWriterLock() noexcept;
    ~ReaderWriterLock();
    ReaderWriterLock(const ReaderWriterLock&) = delete;
    ReaderWriterLock& operator=(const ReaderWriterLock&) = delete;

    void LockShared() noexcept;
    void UnlockShared() noexcept;
    void LockExclusive() noexcept;
    void UnlockExclusive() noexcept;

    // Diagnostics for tests: readers inside and writers waiting for them.
    long ReaderCount() noexcept;
    long WaitingWriterCount() noexcept;

private:
    CriticalSection guard_;
    long readers_ = 0;
    long waitingWriters_ = 0;  // writers waiting for the readers to leave
    UniqueHandle readersGone_;
};

// Holds the shared mode for the lifetime of the guard.
class SharedLock {
public:
    explicit SharedLock(ReaderWriterLock& lock) noexcept : lock_(lock) { lock_.LockShared(); }
    ~SharedLock() { lock_.UnlockShared(); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    ReaderWriterLock& lock_;
};

// Holds the exclusive mode for the lifetime of the guard.
class ExclusiveLock {
public:
    explicit ExclusiveLock(ReaderWriterLock& lock) noexcept : lock_(lock) { lock_.LockExclusive(); }
    ~ExclusiveLock() { lock_.UnlockExclusive(); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    ReaderWriterLock& lock_;
};

}  // namespace veska
