#include "support/ReaderWriterLock.h"

namespace veska {

ReaderWriterLock::ReaderWriterLock() noexcept
    : readersGone_(UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

ReaderWriterLock::~ReaderWriterLock() = default;

void ReaderWriterLock::LockShared() noexcept {
    CriticalSectionLock guard(guard_);
    ++readers_;
}

void ReaderWriterLock::UnlockShared() noexcept {
    CriticalSectionLock guard(guard_);
    --readers_;
    if (readers_ == 0 && waitingWriters_ > 0) ::SetEvent(readersGone_.get());
}

void ReaderWriterLock::LockExclusive() noexcept {
    guard_.Enter();
    while (readers_ > 0) {
        ++waitingWriters_;
        guard_.Leave();
        ::WaitForSingleObject(readersGone_.get(), INFINITE);
        guard_.Enter();
        --waitingWriters_;
    }
}

void ReaderWriterLock::UnlockExclusive() noexcept {
    // The event woke one waiting writer; pass the wake-up on to the next one. It
    // checks the reader count itself and waits again if readers came back.
    if (waitingWriters_ > 0) ::SetEvent(readersGone_.get());
    guard_.Leave();
}

long ReaderWriterLock::ReaderCount() noexcept {
    CriticalSectionLock guard(guard_);
    return readers_;
}

long ReaderWriterLock::WaitingWriterCount() noexcept {
    CriticalSectionLock guard(guard_);
    return waitingWriters_;
}

}  // namespace veska
