#include "support/ReaderWriterLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace veska {
namespace {

using namespace std::chrono_literals;

// Waits until cond() holds or the time runs out; a hung lock fails the test.
template <class Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A thread that is joined (or detached when it hangs) on every way out.
class TestThread {
public:
    template <class F>
    explicit TestThread(F f) : done_(std::make_shared<std::atomic<bool>>(false)) {
        auto done = done_;
        thread_ = std::thread([f, done] {
            f();
            *done = true;
        });
    }
    ~TestThread() {
        if (WaitUntil([&] { return done_->load(); })) {
            thread_.join();
        } else {
            thread_.detach();  // still blocked: leave it rather than hang the run
        }
    }
    bool Done() const { return *done_; }

private:
    std::shared_ptr<std::atomic<bool>> done_;
    std::thread thread_;
};

TEST(ReaderWriterLock, ReadersShareTheLock) {
    ReaderWriterLock lock;
    lock.LockShared();
    TestThread second([&] {
        lock.LockShared();
        lock.UnlockShared();
    });
    EXPECT_TRUE(WaitUntil([&] { return second.Done(); }));
    EXPECT_EQ(lock.ReaderCount(), 1);
    lock.UnlockShared();
    EXPECT_EQ(lock.ReaderCount(), 0);
}

TEST(ReaderWriterLock, WriterWaitsForEveryReaderInside) {
    ReaderWriterLock lock;
    std::atomic<bool> writerInside{false};
    lock.LockShared();
    lock.LockShared();  // a second reader (the guard is per thread, the count is not)
    TestThread writer([&] {
        lock.LockExclusive();
        writerInside = true;
        lock.UnlockExclusive();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.WaitingWriterCount() == 1; }));
    lock.UnlockShared();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(writerInside) << "the writer went in while a reader was inside";
    lock.UnlockShared();
    EXPECT_TRUE(WaitUntil([&] { return writerInside.load(); }));
}

// A waiting writer holds off readers that arrive after it, so a steady stream of
// readers cannot starve it; they go in once it is done.
TEST(ReaderWriterLock, ArrivingReadersWaitWhileAWriterWaits) {
    ReaderWriterLock lock;
    std::atomic<bool> writerInside{false};
    std::atomic<bool> readerInside{false};
    lock.LockShared();
    TestThread writer([&] {
        lock.LockExclusive();
        writerInside = true;
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(readerInside) << "a reader went in while the writer held the lock";
        lock.UnlockExclusive();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.WaitingWriterCount() == 1; }));
    TestThread reader([&] {
        lock.LockShared();
        readerInside = true;
        lock.UnlockShared();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(readerInside) << "a reader arriving after a waiting writer went in first";
    lock.UnlockShared();
    EXPECT_TRUE(WaitUntil([&] { return writerInside.load(); }));
    EXPECT_TRUE(WaitUntil([&] { return readerInside.load(); }));
}

TEST(ReaderWriterLock, ReaderWaitsForWriter) {
    ReaderWriterLock lock;
    std::atomic<bool> readerInside{false};
    lock.LockExclusive();
    TestThread reader([&] {
        lock.LockShared();
        readerInside = true;
        lock.UnlockShared();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(readerInside) << "a reader went in while the writer held the lock";
    lock.UnlockExclusive();
    EXPECT_TRUE(WaitUntil([&] { return readerInside.load(); }));
}

TEST(ReaderWriterLock, WriterAloneReturnsAtOnce) {
    ReaderWriterLock lock;
    lock.LockExclusive();
    EXPECT_EQ(lock.WaitingWriterCount(), 0);
    lock.UnlockExclusive();
    lock.LockShared();
    lock.UnlockShared();
    EXPECT_EQ(lock.ReaderCount(), 0);
}

TEST(ReaderWriterLock, SharedInsideExclusiveOnOneThread) {
    ReaderWriterLock lock;
    TestThread thread([&] {
        lock.LockExclusive();
        lock.LockShared();
        lock.UnlockShared();
        lock.UnlockExclusive();
    });
    EXPECT_TRUE(WaitUntil([&] { return thread.Done(); }));
    EXPECT_EQ(lock.ReaderCount(), 0);
}

TEST(ReaderWriterLock, EveryWaitingWriterGetsThroughOnceReadersLeave) {
    constexpr int kWriters = 4;
    ReaderWriterLock lock;
    std::atomic<int> finished{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    lock.LockShared();
    std::vector<std::unique_ptr<TestThread>> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.push_back(std::make_unique<TestThread>([&] {
            lock.LockExclusive();
            if (inside.fetch_add(1) != 0) overlapped = true;
            // The holder takes the shared mode inside while the others wait.
            lock.LockShared();
            std::this_thread::sleep_for(2ms);
            lock.UnlockShared();
            inside.fetch_sub(1);
            lock.UnlockExclusive();
            finished.fetch_add(1);
        }));
    }
    // Every writer waits at once: one for the reader, the others for their turn.
    ASSERT_TRUE(WaitUntil([&] { return lock.WaitingWriterCount() == kWriters; }));
    lock.UnlockShared();
    EXPECT_TRUE(WaitUntil([&] { return finished == kWriters; }))
        << finished << " of " << kWriters << " writers got through";
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(lock.WaitingWriterCount(), 0);
}

// A writer changes two counters together inside the exclusive mode while readers
// read them inside the shared mode, all at full speed, each side lingering
// between the two counters so that any overlap shows: no reader may see them
// differ. A reader let in beside the writer, or a writer going in while a reader
// is inside, shows up as counters that differ. The counters are relaxed atomics:
// the lock alone orders them. Needs both processors (the test program gets them).
TEST(ReaderWriterLock, ReadersNeverSeeAHalfDoneWrite) {
    constexpr int kReaders = 2;
    ReaderWriterLock lock;
    std::atomic<long> first{0}, second{0};
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, writes{0}, torn{0};
    const auto linger = [] {
        for (int i = 0; i < 20; ++i) YieldProcessor();
    };
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.push_back(std::make_unique<TestThread>([&] {
            long read = 0, differ = 0;
            for (; !stop; ++read) {
                SharedLock shared(lock);
                const long a = first.load(std::memory_order_relaxed);
                linger();
                const long b = second.load(std::memory_order_relaxed);
                if (a != b) ++differ;
            }
            reads += read;
            torn += differ;
        }));
    }
    threads.push_back(std::make_unique<TestThread>([&] {
        long i = 0;
        for (; !stop; ++i) {
            ExclusiveLock exclusive(lock);
            first.store(first.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            // Now and then the writer gives its processor away halfway.
            if (i % 64 == 0) std::this_thread::yield();
            linger();
            second.store(second.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
        writes = i;
    }));
    std::this_thread::sleep_for(1s);
    stop = true;
    threads.clear();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads beside " << writes << " writes";
    EXPECT_GT(writes, 0) << "the readers held the writer off";
    EXPECT_GT(reads, 0);
    EXPECT_EQ(lock.ReaderCount(), 0);
    EXPECT_EQ(lock.WaitingWriterCount(), 0);
}

}  // namespace
}  // namespace veska
