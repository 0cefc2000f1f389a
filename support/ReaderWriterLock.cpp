#include "support/ReaderWriterLock.h"

namespace veska {

ReaderWriterLock::ReaderWriterLock() noexcept
    : readersGone_(UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr))),
      writersGone_(UniqueHandle::Adopt(::CreateEventW(nullptr, TRUE, TRUE, nullptr))) {}

ReaderWriterLock::~ReaderWriterLock() = default;

void ReaderWriterLock::LockShared() noexcept {
    guard_.Enter();
    // Writers waiting for the readers inside go first. The exclusive holder
    // itself, taking the shared mode inside, is let in at once.
    while (waitingWriters_ > 0 && owner_ != ::GetCurrentThreadId()) {
        guard_.Leave();
        ::WaitForSingleObject(writersGone_.get(), INFINITE);
        guard_.Enter();
    }
    ++readers_;
    guard_.Leave();
}

void ReaderWriterLock::UnlockShared() noexcept {
    CriticalSectionLock guard(guard_);
    --readers_;
    if (readers_ == 0 && waitingWriters_ > 0) ::SetEvent(readersGone_.get());
}

void ReaderWriterLock::LockExclusive() noexcept {
    guard_.Enter();
    while (readers_ > 0) {
        if (waitingWriters_++ == 0) ::ResetEvent(writersGone_.get());
        guard_.Leave();
        ::WaitForSingleObject(readersGone_.get(), INFINITE);
        guard_.Enter();
        if (--waitingWriters_ == 0) ::SetEvent(writersGone_.get());
    }
    owner_ = ::GetCurrentThreadId();
}

void ReaderWriterLock::UnlockExclusive() noexcept {
    // The event woke one waiting writer; pass the wake-up on to the next one. It
    // checks the reader count itself and waits again if readers came back.
    owner_ = 0;
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
