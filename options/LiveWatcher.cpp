#include "options/LiveWatcher.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "com/ModuleLock.h"
#include "options/LiveNodes.h"
#include "options/RegistryTree.h"
#include "support/Folding.h"
#include "support/Owners.h"

namespace veska {

class LiveWatch {
public:
    HWND window = nullptr;
    std::wstring registryId;  // the notifications it uses; empty when not used
    std::wstring folderId;
};

namespace {

constexpr std::size_t kSourcesPerThread = MAXIMUM_WAIT_OBJECTS - 1;
constexpr DWORD kDirectoryBufferBytes = 16 * 1024;

// The path without its last segment; empty when it has one segment only.
std::wstring ParentPath(const std::wstring& path) {
    const std::size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

// One watching object's interest in a notification: due once the notification
// fired, and posted at deadline.
struct Attachment {
    LiveWatch* watch;
    WPARAM bit;
    bool due = false;
    ULONGLONG deadline = 0;
};

// A registry notification or a directory read, owned by the watcher thread that
// armed it. Until the watched key or folder exists, its nearest existing parent
// is watched with its subtree, to see it come (back).
class Source {
public:
    Source(std::wstring id, unsigned kind, HKEY hive, std::wstring path)
        : id_(std::move(id)), kind_(kind), hive_(hive), path_(std::move(path)) {
        event_ = UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        ::ZeroMemory(&overlapped_, sizeof(overlapped_));
        overlapped_.hEvent = event_.get();
    }
    ~Source() { Close(); }

    const std::wstring& Id() const noexcept { return id_; }
    HANDLE Event() const noexcept { return event_.get(); }
    std::vector<Attachment>& Attachments() noexcept { return attachments_; }

    bool Arm() {
        if (!event_) return false;
        return kind_ == kWatchRegistry ? ArmRegistry() : ArmFolder();
    }

    // Takes the signal and arms again (before anyone rescans); true when the
    // watched key or folder moved, rather than something beside it.
    bool Signalled() {
        if (kind_ == kWatchRegistry) {
            const bool wasAtTarget = atTarget_;
            ArmRegistry();
            return wasAtTarget || atTarget_;
        }
        bool relevant = false;
        DWORD bytes = 0;
        const bool read = pending_ && ::GetOverlappedResult(directory_.get(), &overlapped_, &bytes, FALSE);
        pending_ = false;
        if (atTarget_ && read) {
            relevant = bytes == 0 || NamesSettingsFile(bytes);  // 0: more changed than the buffer held
        } else {
            relevant = true;  // the folder went, or its parent moved: look again
            directory_.reset();
        }
        const bool wasAtTarget = atTarget_;
        ArmFolder();
        return wasAtTarget ? relevant : atTarget_;
    }

    void Close() noexcept {
        if (directory_ && pending_) {
            // Cancelled by the thread that issued the read, then waited for, so
            // the buffer is no longer written when it goes.
            ::CancelIo(directory_.get());
            DWORD bytes = 0;
            ::GetOverlappedResult(directory_.get(), &overlapped_, &bytes, TRUE);
        }
        pending_ = false;
        directory_.reset();
        key_.reset();
    }

private:
    bool ArmRegistry() {
        key_.reset();
        std::wstring path = path_;
        for (;;) {
            key_ = OpenKey(hive_, path.c_str(), KEY_NOTIFY);
            if (key_ || path.empty()) break;
            path = ParentPath(path);
        }
        atTarget_ = key_ && path.size() == path_.size();
        if (!key_) return false;
        return ::RegNotifyChangeKeyValue(key_.get(), TRUE,
                                         REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                         event_.get(), TRUE) == ERROR_SUCCESS;
    }

    bool ArmFolder() {
        if (!directory_) {
            std::wstring path = path_;
            while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
            const std::size_t targetLength = path.size();
            while (!path.empty()) {
                const HANDLE opened = ::CreateFileW(
                    path.c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
                if (opened != INVALID_HANDLE_VALUE) {
                    directory_ = UniqueHandle::Adopt(opened);
                    break;
                }
                path = ParentPath(path);
            }
            atTarget_ = directory_ && path.size() == targetLength;
        }
        if (!directory_) return false;
        if (buffer_.empty()) buffer_.resize(kDirectoryBufferBytes / sizeof(DWORD));
        pending_ = ::ReadDirectoryChangesW(
                       directory_.get(), buffer_.data(), kDirectoryBufferBytes, !atTarget_,
                       FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                           FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE,
                       nullptr, &overlapped_, nullptr) != FALSE;
        return pending_;
    }

    // True when a record of the read names a "*.xml" file.
    bool NamesSettingsFile(DWORD bytes) const noexcept {
        const BYTE* at = reinterpret_cast<const BYTE*>(buffer_.data());
        const BYTE* const end = at + bytes;
        for (;;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
            const std::wstring_view name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name.size() >= 4 && CompareFolded(name.substr(name.size() - 4), L".xml") == 0) return true;
            if (record->NextEntryOffset == 0) return false;
            at += record->NextEntryOffset;
            if (at >= end) return false;
        }
    }

    std::wstring id_;
    unsigned kind_;
    HKEY hive_;
    std::wstring path_;
    UniqueHandle event_;
    UniqueHkey key_;
    UniqueHandle directory_;
    OVERLAPPED overlapped_;
    std::vector<DWORD> buffer_;
    bool pending_ = false;
    bool atTarget_ = false;
    std::vector<Attachment> attachments_;
};

// A request to a watcher thread; one at a time per process (the control lock).
struct Request {
    enum Op { Attach, Detach, Quit } op;
    LiveWatch* watch;
    const std::wstring* id;
    unsigned kind;
    HKEY hive;
    const std::wstring* path;
    WPARAM bit;
    bool ok = false;
    HRESULT hr = E_FAIL;  // why an Attach failed
    bool closed = false;  // Detach: the notification had no other watch and was closed
};

class WatcherThread {
public:
    // Control-side bookkeeping, under the control lock: the ids of the
    // notifications this thread owns.
    std::vector<std::wstring> ids;

    bool Start() {
        wake_ = UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        answered_ = UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!wake_ || !answered_) return false;
        thread_ = UniqueHandle::Adopt(::CreateThread(nullptr, 0, &WatcherThread::Main, this, 0, nullptr));
        return static_cast<bool>(thread_);
    }

    // Hands the request to the thread and waits for its answer; a Quit waits
    // for the thread to end.
    void Call(Request& request) noexcept {
        request_ = &request;
        ::SetEvent(wake_.get());
        ::WaitForSingleObject(request.op == Request::Quit ? thread_.get() : answered_.get(), INFINITE);
    }

private:
    static DWORD WINAPI Main(void* self) {
        static_cast<WatcherThread*>(self)->Run();
        return 0;
    }

    void Run() noexcept {
        for (;;) {
            HANDLE handles[MAXIMUM_WAIT_OBJECTS];
            handles[0] = wake_.get();
            for (std::size_t i = 0; i < sources_.size(); ++i) handles[i + 1] = sources_[i]->Event();
            const DWORD count = static_cast<DWORD>(sources_.size() + 1);
            const DWORD signalled = ::WaitForMultipleObjects(count, handles, FALSE, Timeout());
            if (signalled == WAIT_OBJECT_0) {
                Request& request = *request_;
                if (request.op == Request::Quit) return;
                Serve(request);
                ::SetEvent(answered_.get());
            } else if (signalled > WAIT_OBJECT_0 && signalled < WAIT_OBJECT_0 + count) {
                Source& source = *sources_[signalled - WAIT_OBJECT_0 - 1];
                if (source.Signalled()) {
                    const ULONGLONG deadline = ::GetTickCount64() + kLiveDebounceMilliseconds;
                    for (Attachment& attachment : source.Attachments()) {
                        if (!attachment.due) {
                            attachment.due = true;
                            attachment.deadline = deadline;
                        }
                    }
                }
            }
            PostDue();
        }
    }

    // Until the nearest deadline of an attachment that is due.
    DWORD Timeout() const noexcept {
        ULONGLONG nearest = ~0ULL;
        for (const auto& source : sources_) {
            for (const Attachment& attachment : source->Attachments()) {
                if (attachment.due) nearest = std::min(nearest, attachment.deadline);
            }
        }
        if (nearest == ~0ULL) return INFINITE;
        const ULONGLONG now = ::GetTickCount64();
        return nearest <= now ? 0 : static_cast<DWORD>(nearest - now);
    }

    // Posts (never sends: the watching thread may be waiting for this one) to
    // every window whose deadline has come.
    void PostDue() noexcept {
        const ULONGLONG now = ::GetTickCount64();
        for (const auto& source : sources_) {
            for (Attachment& attachment : source->Attachments()) {
                if (!attachment.due || attachment.deadline > now) continue;
                attachment.due = false;
                ::PostMessageW(attachment.watch->window, kLiveChangeMessage, attachment.bit, 0);
            }
        }
    }

    void Serve(Request& request) noexcept {
        const auto found = std::find_if(sources_.begin(), sources_.end(),
                                        [&](const auto& source) { return source->Id() == *request.id; });
        if (request.op == Request::Detach) {
            if (found == sources_.end()) return;
            auto& attachments = (*found)->Attachments();
            attachments.erase(std::remove_if(attachments.begin(), attachments.end(),
                                             [&](const Attachment& a) { return a.watch == request.watch; }),
                              attachments.end());
            if (attachments.empty()) {
                sources_.erase(found);
                request.closed = true;
            }
            request.ok = true;
            return;
        }
        try {
            Source* source = nullptr;
            if (found != sources_.end()) {
                source = found->get();
            } else {
                auto made = std::make_unique<Source>(*request.id, request.kind, request.hive, *request.path);
                if (!made->Event()) return;
                made->Arm();
                source = made.get();
                sources_.push_back(std::move(made));
            }
            source->Attachments().push_back(Attachment{request.watch, request.bit});
            request.ok = true;
        } catch (const std::bad_alloc&) {
            request.hr = E_OUTOFMEMORY;
        } catch (...) {
            request.hr = E_FAIL;
        }
    }

    UniqueHandle thread_;
    UniqueHandle wake_;
    UniqueHandle answered_;
    Request* request_ = nullptr;
    std::vector<std::unique_ptr<Source>> sources_;  // the thread's own
};

// Guards the thread list and every request: one request in flight at a time.
SRWLOCK controlLock = SRWLOCK_INIT;
std::vector<WatcherThread*>* threads = nullptr;  // made with the first watch

class ControlLock {
public:
    ControlLock() noexcept { ::AcquireSRWLockExclusive(&controlLock); }
    ~ControlLock() { ::ReleaseSRWLockExclusive(&controlLock); }
    ControlLock(const ControlLock&) = delete;
    ControlLock& operator=(const ControlLock&) = delete;
};

// The thread list goes with its last thread.
void DropEmptyThreadList() noexcept {
    if (threads != nullptr && threads->empty()) {
        delete threads;
        threads = nullptr;
    }
}

// Attaches watch to the notification id on the thread that owns it, or on one
// with room, starting a thread when none has. False when it could not be armed
// (the caller undoes what it did).
HRESULT Attach(LiveWatch* watch, const std::wstring& id, unsigned kind, HKEY hive,
               const std::wstring& path) {
    if (threads == nullptr) threads = new std::vector<WatcherThread*>();
    WatcherThread* owner = nullptr;
    for (WatcherThread* thread : *threads) {
        if (std::find(thread->ids.begin(), thread->ids.end(), id) != thread->ids.end()) owner = thread;
    }
    const bool added = owner == nullptr;
    if (added) {
        for (WatcherThread* thread : *threads) {
            if (thread->ids.size() < kSourcesPerThread) owner = thread;
        }
    }
    if (owner == nullptr) {
        auto started = std::make_unique<WatcherThread>();
        threads->reserve(threads->size() + 1);
        if (!started->Start()) return HRESULT_FROM_WIN32(::GetLastError());
        owner = started.release();
        threads->push_back(owner);
    }
    Request request{Request::Attach, watch, &id, kind, hive, &path, kind};
    owner->Call(request);
    if (request.ok && added) {
        try {
            owner->ids.push_back(id);
        } catch (...) {
            request.ok = false;
            request.hr = E_OUTOFMEMORY;
            Request undo{Request::Detach, watch, &id, 0, nullptr, nullptr, 0};
            owner->Call(undo);
        }
    }
    if (owner->ids.empty()) {
        // A thread started for this watch alone ends with it.
        Request quit{Request::Quit, nullptr, &id, 0, nullptr, nullptr, 0};
        owner->Call(quit);
        threads->erase(std::find(threads->begin(), threads->end(), owner));
        delete owner;
    }
    return request.ok ? S_OK : request.hr;
}

// Detaches watch from id; a thread left with nothing ends here, joined.
void Detach(LiveWatch* watch, const std::wstring& id) noexcept {
    if (threads == nullptr || id.empty()) return;
    for (auto it = threads->begin(); it != threads->end(); ++it) {
        WatcherThread* thread = *it;
        const auto owned = std::find(thread->ids.begin(), thread->ids.end(), id);
        if (owned == thread->ids.end()) continue;
        Request request{Request::Detach, watch, &id, 0, nullptr, nullptr, 0};
        thread->Call(request);
        if (request.closed) thread->ids.erase(owned);
        if (thread->ids.empty()) {
            Request quit{Request::Quit, nullptr, &id, 0, nullptr, nullptr, 0};
            thread->Call(quit);
            threads->erase(it);
            delete thread;
        }
        break;
    }
    DropEmptyThreadList();
}

}  // namespace

HRESULT StartLiveWatch(const LiveWatchRequest& request, LiveWatch** watch) noexcept {
    if (watch == nullptr) return E_POINTER;
    *watch = nullptr;
    auto* made = new (std::nothrow) LiveWatch();
    if (made == nullptr) return E_OUTOFMEMORY;
    made->window = request.window;
    ControlLock lock;
    HRESULT hr = S_OK;
    try {
        const std::wstring hive = std::to_wstring(reinterpret_cast<std::uintptr_t>(request.hive));
        if ((request.what & kWatchRegistry) != 0) {
            std::wstring id = L"registry:" + hive + L":" + live::Folded(request.keyPath);
            hr = Attach(made, id, kWatchRegistry, request.hive, request.keyPath);
            if (SUCCEEDED(hr)) made->registryId = std::move(id);
        }
        if (SUCCEEDED(hr) && (request.what & kWatchSettingsFolder) != 0) {
            std::wstring id = L"folder:" + live::Folded(request.folder);
            hr = Attach(made, id, kWatchSettingsFolder, nullptr, request.folder);
            if (SUCCEEDED(hr)) made->folderId = std::move(id);
        }
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_FAIL;
    }
    if (FAILED(hr)) {
        // Whatever was attached goes again (a moved id was attached in full).
        Detach(made, made->registryId);
        Detach(made, made->folderId);
        DropEmptyThreadList();
        delete made;
        return hr;
    }
    LockModule();
    *watch = made;
    return S_OK;
}

void StopLiveWatch(LiveWatch* watch) noexcept {
    if (watch == nullptr) return;
    {
        ControlLock lock;
        Detach(watch, watch->registryId);
        Detach(watch, watch->folderId);
    }
    delete watch;
    UnlockModule();
}

std::size_t LiveWatcherThreadCount() noexcept {
    ControlLock lock;
    return threads != nullptr ? threads->size() : 0;
}

}  // namespace veska
