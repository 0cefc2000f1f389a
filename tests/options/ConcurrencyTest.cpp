// Objects on different threads share the one options cache lock: readers and
// removals share it, writers wait for them.
#include "OptionsTestSupport.h"

#include <functional>

#include "module/Module.h"

namespace veska::test {
namespace {

using Concurrency = OptionsTest;

// A thread running body; Wait gives up after the time limit instead of hanging.
class Worker {
public:
    explicit Worker(std::function<void()> body) : body_(std::move(body)) {
        handle_ = ::CreateThread(nullptr, 0, &Worker::Run, this, 0, nullptr);
    }
    ~Worker() {
        Wait(30000);
        ::CloseHandle(handle_);
    }
    bool Wait(DWORD ms) { return ::WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<Worker*>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE handle_;
};

TEST_F(Concurrency, WritersWaitForReadersWhileReadersAndRemovalsShare) {
    SetDword(HKEY_CURRENT_USER, Reg(), L"v", 1);
    SetDword(HKEY_CURRENT_USER, Reg(), L"w", 1);
    ComPtr<IVeskaOptions3> writer = NewOptions();
    ASSERT_EQ(Init(), S_OK);
    ASSERT_EQ(writer->Init(1, Bstr(Reg())), S_OK);

    OptionsCacheLock.LockShared();  // a reader of some other object is inside
    HRESULT read = E_UNEXPECTED, removed = E_UNEXPECTED, written = E_UNEXPECTED;
    Worker reading([&] {
        UniqueVariant v;
        read = opts->GetValueByName(Bstr(L""), Bstr(L"v"), v.put());
        removed = opts->RemoveValueByName(Bstr(L""), Bstr(L"w"), 0);
    });
    EXPECT_TRUE(reading.Wait(5000));
    // Started only now: readers arriving while a writer waits wait for it.
    Worker writing([&] { written = writer->SetValueByName(Bstr(L""), Bstr(L"v"), I4(2).get(), 0, 1); });
    EXPECT_FALSE(writing.Wait(200)) << "a writer went in while a reader held the lock";
    OptionsCacheLock.UnlockShared();
    EXPECT_TRUE(writing.Wait(5000));
    EXPECT_EQ(read, S_OK);
    EXPECT_EQ(removed, S_OK);
    EXPECT_EQ(written, S_OK);
}

}  // namespace
}  // namespace veska::test
