// A reader-writer lock whose shared mode, while no writer holds or waits, costs a
// reader an interlocked increment and an interlocked decrement of a counter of its
// own and two reads of a word only writers change: no critical section, no event,
// no kernel call, nothing another reading thread writes.
//
// Readers count themselves in kSlots counters, each on a cache line of its own; a
// thread's slot follows from the address of its thread environment block, read
// inline (no call). Threads whose blocks fall on one slot share it, which costs speed, never correctness: a slot holds the sum of theirs.
// A writer takes a critical section and keeps it for its whole exclusive section,
// so writers go in one at a time; it raises the writer state, then waits until
// every slot is empty. A reader that finds the state raised takes its count back
// (waking the writer if it sleeps), waits for the writer to leave, and tries
// again. Both wait first spinning, then giving their processor away, and only
// then asleep (the writer on an auto-reset event, the reader by entering and
// leaving the critical section): a wake-up costs kernel calls, under Wine
// requests to the wineserver, and the other side is usually done within
// microseconds.
//
// Memory ordering. Every access to the state and the slots is sequentially
// consistent; the increments, decrements and exchanges are interlocked operations,
// full barriers.
// - Coming in, a reader increments its slot, then reads the state; a writer
//   raises the state with an exchange, then reads the slots. At least one of
//   them sees the other: the reader sees the state and backs off, or the writer
//   sees the count and waits for it.
// - Going out, a reader decrements its slot, then reads the state and wakes the
//   writer when it is kDraining; a writer about to sleep exchanges the state to
//   kDraining, then reads the slots again. So it sees the decrement, or the
//   reader sees kDraining and wakes it. The writer reads every slot again after
//   each wake-up, so an early or repeated wake-up is harmless and none is lost.
// - A reader that goes in reads the state a leaving writer cleared, so it sees
//   everything that writer did; a writer that goes in has read every slot empty
//   after the readers' decrements, so every read inside the shared mode is over.
//
// Rules for callers. The thread holding the exclusive mode may take and give back
// the shared mode inside it. A thread holding the shared mode must not ask for the
// exclusive mode (it would wait for itself), nor for the shared mode a second time
// (a writer arriving in between would hold it off). UnlockShared runs on the
// thread that called LockShared. The exclusive mode is not recursive.
//
// Writers go first: readers arriving while a writer holds the lock or waits for the
// readers inside wait until it leaves, so a steady stream of readers cannot hold
// writers off. Writers queue on the critical section; each one waits only for the
// readers inside when its turn comes. Readers never wait for each other.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "support/Owners.h"

namespace veska {

class ReaderWriterLock {
public:
    ReaderWriterLock() noexcept;
    ~ReaderWriterLock();
    ReaderWriterLock(const ReaderWriterLock&) = delete;
    ReaderWriterLock& operator=(const ReaderWriterLock&) = delete;

    void LockShared() noexcept {
        std::atomic<long>& slot = SlotOfThisThread();
        slot.fetch_add(1);
        if (state_.load() != kFree) WaitForWriter(slot);
    }
    void UnlockShared() noexcept { LeaveSlot(SlotOfThisThread()); }
    void LockExclusive() noexcept;
    void UnlockExclusive() noexcept;

    // Diagnostics for tests: readers inside (with any reader announcing itself
    // or backing off at that moment), and writers that asked for the exclusive
    // mode and do not hold it yet.
    long ReaderCount() noexcept;
    long WaitingWriterCount() noexcept;

private:
    static constexpr int kSlotBits = 6;
    static constexpr int kSlots = 1 << kSlotBits;
    static constexpr std::size_t kCacheLine = 64;

    enum State : long {
        kFree = 0,      // no writer holds the critical section
        kHeld = 1,      // a writer holds it: readers back off
        kDraining = 2,  // a writer sleeps until the readers inside leave: wake it
    };

    struct alignas(kCacheLine) Slot {
        std::atomic<long> readers{0};
    };

    // Threads are spread over the slots by Fibonacci hashing of the address of
    // their environment block, which is unique among live threads and
    // page-aligned; the segment register holds it, so no call is made.
    std::atomic<long>& SlotOfThisThread() noexcept {
        std::uintptr_t block;
#if defined(__x86_64__)
        __asm__("movq %%gs:0x30, %0" : "=r"(block));
#else
        __asm__("movl %%fs:0x18, %0" : "=r"(block));
#endif
        const std::uint64_t page = block >> 12;
        return slots_[(page * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)].readers;
    }

    void LeaveSlot(std::atomic<long>& slot) noexcept {
        slot.fetch_sub(1);
        if (state_.load() == kDraining) WakeWriter();
    }

    // The shared mode's way past a raised state: let the exclusive holder in at
    // once, back off and wait for any other writer.
    void WaitForWriter(std::atomic<long>& slot) noexcept;
    void WakeWriter() noexcept;

    // Read on every LockShared and UnlockShared; written by writers only.
    alignas(kCacheLine) std::atomic<long> state_{kFree};
    std::atomic<DWORD> owner_{0};  // the thread holding the exclusive mode, or 0

    // The writers' own.
    alignas(kCacheLine) CriticalSection guard_;
    UniqueHandle readersGone_;  // auto-reset: a reader left while a writer sleeps
    std::atomic<long> waitingWriters_{0};

    Slot slots_[kSlots];
};

// Hold the shared or the exclusive mode for the lifetime of the guard.
using SharedLock = ScopedLock<ReaderWriterLock, &ReaderWriterLock::LockShared, &ReaderWriterLock::UnlockShared>;
using ExclusiveLock =
    ScopedLock<ReaderWriterLock, &ReaderWriterLock::LockExclusive, &ReaderWriterLock::UnlockExclusive>;

}  // namespace veska
