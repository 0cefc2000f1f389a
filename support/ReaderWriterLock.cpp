#include "support/ReaderWriterLock.h"

namespace veska {

namespace {

// How long a writer looks for the readers inside to leave before it sleeps: a
// read holds the shared mode for a fraction of a microsecond, a sleep and its
// wake-up cost kernel calls on both sides.
constexpr int kSpinsBeforeSleep = 1000;

}  // namespace

ReaderWriterLock::ReaderWriterLock() noexcept
    : readersGone_(UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

ReaderWriterLock::~ReaderWriterLock() = default;

void ReaderWriterLock::WaitForWriter(std::atomic<long>& slot) noexcept {
    // Only the exclusive holder itself can find its own id here.
    if (owner_.load(std::memory_order_relaxed) == ::GetCurrentThreadId()) return;
    do {
        LeaveSlot(slot);
        // The writer holds the critical section until it leaves.
        guard_.Enter();
        guard_.Leave();
        slot.fetch_add(1);
    } while (state_.load() != kFree);
}

void ReaderWriterLock::WakeWriter() noexcept { ::SetEvent(readersGone_.get()); }

void ReaderWriterLock::LockExclusive() noexcept {
    waitingWriters_.fetch_add(1);
    guard_.Enter();
    state_.exchange(kHeld);
    for (int spin = 0; ReaderCount() != 0; ++spin) {
        if (spin < kSpinsBeforeSleep) {
            ::YieldProcessor();
            continue;
        }
        state_.exchange(kDraining);
        while (ReaderCount() != 0) ::WaitForSingleObject(readersGone_.get(), INFINITE);
        state_.store(kHeld);
        break;
    }
    owner_.store(::GetCurrentThreadId(), std::memory_order_relaxed);
    waitingWriters_.fetch_sub(1);
}

void ReaderWriterLock::UnlockExclusive() noexcept {
    owner_.store(0, std::memory_order_relaxed);
    state_.store(kFree);
    guard_.Leave();
}

long ReaderWriterLock::ReaderCount() noexcept {
    long readers = 0;
    for (const Slot& slot : slots_) readers += slot.readers.load();
    return readers;
}

long ReaderWriterLock::WaitingWriterCount() noexcept { return waitingWriters_.load(); }

}  // namespace veska
