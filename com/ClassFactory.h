// The class object of a class, which makes instances through the class's
// creator, and the cache in which a DLL's DllGetClassObject keeps one per class.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

namespace veska {

using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** ppv);

// Makes a cached class factory bound to create and returns it asked for iid.
// The reference that a ClassObjectCache holds does not keep the library loaded;
// every further reference does (LockModule when the count reaches 2,
// UnlockModule when it drops back to 1).
HRESULT CreateCachedClassFactory(InstanceCreator create, REFIID iid, void** ppv) noexcept;

using ClassObjectCreator = HRESULT (*)(InstanceCreator create, REFIID iid, void** ppv);

// One class's class object, made on the first request and kept until Clear.
// Requests may come from any thread at once: exactly one class object is made,
// under a lock taken only while the cache is empty; afterwards a request reads
// the cached pointer with acquire ordering (it was published with release
// ordering after the object was complete) and takes no lock. Constant-
// initialised, so caches may sit in static tables. The holder calls Clear when
// its DLL detaches; the cache does not release on destruction, as static
// destructors run after COM may be gone.
class ClassObjectCache {
public:
    constexpr ClassObjectCache() noexcept = default;
    ClassObjectCache(const ClassObjectCache&) = delete;
    ClassObjectCache& operator=(const ClassObjectCache&) = delete;

    // The class object bound to create, made by make on first use, asked for
    // iid. *ppv is null on failure; a failed creation leaves the cache empty.
    HRESULT Get(InstanceCreator create, REFIID iid, void** ppv,
                ClassObjectCreator make = &CreateCachedClassFactory) noexcept;
    // Releases the cached class object, if any; the next Get makes a new one.
    void Clear() noexcept;
    // Whether a class object is cached.
    bool Holds() const noexcept { return object_.load(std::memory_order_acquire) != nullptr; }

private:
    std::atomic<IUnknown*> object_{nullptr};
    SRWLOCK firstUse_ = SRWLOCK_INIT;
};

}  // namespace veska
