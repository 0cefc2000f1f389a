// A reader-writer lock built from a critical section, a reader count and two
// events.
//
// Readers take the critical section only to change the count. A writer takes it
// and keeps it for its whole exclusive section, so readers arriving meanwhile
// block on it; before going ahead the writer waits for the readers already inside
// to leave. The critical section is recursive, so the thread holding the
// exclusive mode may take and give back the shared mode inside it. A thread that
// holds the shared mode must not ask for the exclusive mode (it would wait for
// itself), nor for the shared mode a second time (a writer waiting in between
// would hold it off).
//
// Several writers may wait for the readers at once; each of them is woken once the
// readers are gone (the one that gets through signals the next on its way out).
// While writers wait, arriving readers wait for them, so a steady stream of
// readers cannot hold writers off; readers never wait for each other.
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
    DWORD owner_ = 0;          // the thread holding the exclusive mode, or 0
    UniqueHandle readersGone_;  // auto-reset: the last reader left while writers wait
    UniqueHandle writersGone_;  // manual-reset: set exactly while no writer waits
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
