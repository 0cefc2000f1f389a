#include "support/ReaderWriterLock.h"

namespace veska {

namespace {

// How long a waiting reader or writer stays awake: a read holds the shared mode
// and a write the exclusive mode for a microsecond or so. Giving the processor
// away lets a thread preempted inside the lock on this processor finish.
constexpr int kSpins = 1000;
constexpr int kYields = 50;

// One round of waiting without sleeping; false once it is time to sleep.
bool WaitBriefly(int round) noexcept {
    if (round < kSpins) {
        YieldProcessor();  // a macro on x86, so not qualified
        return true;
    }
    if (round < kSpins + kYields) {
        ::SwitchToThread();
        return true;
    }
    return false;
}

}  // namespace

ReaderWriterLock::ReaderWriterLock() noexcept
    : readersGone_(UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

ReaderWriterLock::~ReaderWriterLock() = default;

void ReaderWriterLock::WaitForWriter(std::atomic<long>& slot) noexcept {
    // Only the exclusive holder itself can find its own id here.
    if (owner_.load(std::memory_order_relaxed) == ::GetCurrentThreadId()) return;
    do {
        LeaveSlot(slot);
        for (int round = 0; state_.load() != kFree; ++round) {
            if (!WaitBriefly(round)) {
                // The writer holds the critical section until it leaves.
                guard_.Enter();
                guard_.Leave();
            }
        }
        slot.fetch_add(1);
    } while (state_.load() != kFree);
}

void ReaderWriterLock::WakeWriter() noexcept { ::SetEvent(readersGone_.get()); }

void ReaderWriterLock::LockExclusive() noexcept {
    waitingWriters_.fetch_add(1);
    guard_.Enter();
    state_.exchange(kHeld);
    for (int round = 0; ReaderCount() != 0; ++round) {
        if (WaitBriefly(round)) continue;
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
