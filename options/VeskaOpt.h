// CVeskaOptions, the options store: a tree of named settings read once from a
// registry subtree into an in-memory cache, read from that cache, and changed in
// the cache and, on request, below HKEY_CURRENT_USER.
//
// Locking: every member that touches the cache or the fields below takes the
// process-wide OptionsCacheLock (shared for reads and removals, exclusive for
// Init, writes, additions and the property puts). The internal operations take
// no lock; their callers hold it.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VeskaOptions_h.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "options/DefaultSettings.h"
#include "options/LiveEvents.h"
#include "options/LiveRefresh.h"
#include "options/OpsInfo.h"
#include "options/OptionsDispatch.h"
#include "options/ValueOrigin.h"
#include "support/Owners.h"
#include "support/ReaderWriterLock.h"

namespace veska {

// The one lock that guards the caches of every options object in the process.
// Built before the rest of the library's process-wide state and torn down after
// it.
extern ReaderWriterLock OptionsCacheLock;

// Counts of the cache as Init left it.
struct LoadCounts {
    LONG keys = 0;        // every key below the Init key
    LONG values = 0;      // every value of the Init key and the keys below it
    LONG overridden = 0;  // the values among them that a settings file or policy gave
    LONG locked = 0;      // the values among them that policy gave
};

class CVeskaOptions : public ObjectRoot<CVeskaOptions, MultiThreadModel>,
                      public OptionsDispatch,
                      public DispatchImpl<IVeskaOptionsDiagnostics>,
                      public DispatchImpl<IVeskaOptionsLive>,
                      public DispatchImpl<IVeskaOptionsPolicy>,
                      public IConnectionPointContainer,
                      public IProvideClassInfo2,
                      public IPersistStreamInit {
public:
    using Interfaces = InterfaceMap<Entry<IVeskaOptions, IVeskaOptions3>,
                                    Entry<IVeskaOptions2, IVeskaOptions3>,
                                    Entry<IVeskaOptions3>,
                                    Entry<IDispatch, IVeskaOptions3>,
                                    Entry<IVeskaOptionsDiagnostics>,
                                    LiveEntry<IVeskaOptionsLive>,
                                    LiveEntry<IVeskaOptionsPolicy>,
                                    LiveEntry<IConnectionPointContainer>,
                                    LiveEntry<IProvideClassInfo, IProvideClassInfo2>,
                                    LiveEntry<IProvideClassInfo2>,
                                    Entry<IPersistStreamInit>>;

    CVeskaOptions() noexcept = default;
    // Stops a watch first (LiveEvents.cpp).
    ~CVeskaOptions();
    CVeskaOptions(const CVeskaOptions&) = delete;
    CVeskaOptions& operator=(const CVeskaOptions&) = delete;

    // IVeskaOptions. Arrays and VARIANTs handed out belong to the caller.
    STDMETHODIMP Init(int MainKey, BSTR Root) override;
    STDMETHODIMP Apply() override;
    STDMETHODIMP GetKeys(BSTR Root, SAFEARRAY** Keys) override;
    STDMETHODIMP SetKeys(BSTR Root, SAFEARRAY* Keys, LONG UpdateAll) override;
    STDMETHODIMP GetValues(BSTR Root, SAFEARRAY** Values) override;
    STDMETHODIMP GetValueByName(BSTR Root, BSTR Attr, VARIANT* Val) override;
    STDMETHODIMP SetValueByName(BSTR Root, BSTR Attr, VARIANT* Val, LONG ChangeDefault,
                                LONG SetDirtyBit) override;
    STDMETHODIMP SetValues(BSTR Root, SAFEARRAY* Values, LONG UpdateAll) override;
    STDMETHODIMP get_Dirty(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_Dirty(VARIANT_BOOL newVal) override;
    STDMETHODIMP RemoveValueByName(BSTR Root, BSTR Attr, LONG ChangeDefault) override;
    STDMETHODIMP RemoveValues(BSTR Root, LONG ChangeDefault) override;
    STDMETHODIMP RemoveKey(BSTR Root, LONG ChangeDefault) override;

    // IVeskaOptions2. The string handed out by get_Root belongs to the caller.
    STDMETHODIMP get_Root(BSTR* Root) override;
    STDMETHODIMP put_Root(BSTR newVal) override;

    // IVeskaOptions3.
    STDMETHODIMP AddKey(BSTR Root, LONG ChangeDefault) override;
    STDMETHODIMP AddValueByName(BSTR Root, BSTR Attr, VARIANT* Val, LONG ChangeDefault) override;

    // IVeskaOptionsDiagnostics. VARIANTs and strings handed out belong to the
    // caller.
    STDMETHODIMP GetValueOrigin(BSTR Root, BSTR Attr, VARIANT* Origin) override;
    STDMETHODIMP GetSettingsFiles(VARIANT* Files) override;
    STDMETHODIMP get_KeyCount(LONG* Count) override;
    STDMETHODIMP get_ValueCount(LONG* Count) override;
    STDMETHODIMP get_OverriddenCount(LONG* Count) override;
    STDMETHODIMP get_SettingsFolder(BSTR* Folder) override;
    STDMETHODIMP CheckSettings(BSTR Path, VARIANT* Files) override;

    // IVeskaOptionsLive (LiveEvents.cpp). Events run on the thread that called
    // Watch, or on the caller's thread for Refresh.
    STDMETHODIMP Watch(LONG What) override;
    STDMETHODIMP Unwatch() override;
    STDMETHODIMP get_Watching(LONG* What) override;
    STDMETHODIMP Refresh(LONG* Changed) override;
    STDMETHODIMP put_OnChanged(VARIANT Callback) override;
    STDMETHODIMP putref_OnChanged(VARIANT Callback) override;
    STDMETHODIMP WaitForChange(LONG Milliseconds, VARIANT_BOOL* Delivered) override;

    // IVeskaOptionsPolicy (OptionsDiagnostics.cpp). The string handed out
    // belongs to the caller.
    STDMETHODIMP IsLocked(BSTR Root, BSTR Attr, VARIANT_BOOL* Locked) override;
    STDMETHODIMP get_PolicyRoot(BSTR* Root) override;
    STDMETHODIMP get_LockedCount(LONG* Count) override;

    // IConnectionPointContainer: the one point of _IVeskaOptionsLiveEvents.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // IProvideClassInfo2: the coclass and its source interface.
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

    // IPersistStreamInit: not implemented; every member returns E_NOTIMPL.
    STDMETHODIMP GetClassID(CLSID* pClassID) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPSTREAM pStm) override;
    STDMETHODIMP Save(LPSTREAM pStm, BOOL fClearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pCbSize) override;
    STDMETHODIMP InitNew() override;

    // A path after the Root prefix has been put in front of it: head followed by
    // tail, where head is empty or ends with a backslash. Both view text owned by
    // the caller's argument and m_bstrRoot.
    struct CorrectedPath {
        std::wstring_view head;
        std::wstring_view tail;
        bool empty() const noexcept { return head.empty() && tail.empty(); }
    };

    // The hive of MainKey 0, 1 or 2; E_INVALIDARG for any other number.
    static HRESULT MainKeyToHive(int mainKey, HKEY* hive) noexcept;

    // Loads the values and the whole subtree of key (which may be null) into
    // node. Works through an explicit list of open keys, so the depth of the
    // subtree does not touch the thread's stack. Always S_OK; throws
    // std::bad_alloc or HResultError when memory runs out.
    static HRESULT FillKeysValues(HKEY key, OpsInfo* node);

    // Releases node and every node and value below it; null is ignored. The
    // caller removes its own reference to node. Needs no memory and no stack
    // depth of its own.
    static void FreeOpsInfoMem(OpsInfo* node) noexcept;

    // Deletes the key name below parent with all its subkeys; a Win32 code, 0 on
    // success. An empty or null name is refused: the registry would read it as
    // the parent itself.
    static LONG RecurseDeleteKey(HKEY parent, const wchar_t* name) noexcept;

    // The Root prefix put in front of path (which must not be null).
    CorrectedPath SetCorrectRoot(const wchar_t* path) const noexcept;

    // The node at a corrected path, or null; never creates a node.
    OpsInfo* GetOpsInfo(const CorrectedPath& path) const noexcept;

    // How the write behind SetValueByName and AddValueByName goes.
    struct WriteMode {
        bool changeDefault = false;  // also write the value below HKEY_CURRENT_USER
        bool setDirtyBit = false;    // a write that changes the cached value sets Dirty
        bool addOnly = false;        // refuse a value the key has already (AddValueByName)
    };

    // The write behind SetValueByName and AddValueByName: S_OK or E_FAIL, or the
    // failure of copying val; S_FALSE when the registry refused a value the
    // cache keeps. Takes the exclusive lock itself.
    HRESULT InternalSetValueByName(const wchar_t* root, const wchar_t* attr, const VARIANT* val,
                                   WriteMode mode);

    // Brings the cache up to date with the registry (registry) and the
    // settings folder (files) and fills result; the events are not fired.
    // LiveRefresh.cpp. Throws std::bad_alloc or HResultError.
    void RefreshCache(bool registry, bool files, RefreshResult& result);

    // Refreshes what watch names (LiveWatcher.h bits, both for a call of
    // Refresh) and fires the events; the number of changed values.
    HRESULT RefreshAndFire(unsigned watch, LONG* changed);

private:
    // Releases a cache tree through FreeOpsInfoMem.
    struct TreeRelease {
        void operator()(OpsInfo* node) const noexcept { FreeOpsInfoMem(node); }
    };
    using OpsInfoTree = std::unique_ptr<OpsInfo, TreeRelease>;

    // The registry path below HKEY_CURRENT_USER of a corrected path: the Init path,
    // a backslash, then the path.
    std::wstring RegistryPathOf(const CorrectedPath& path) const;

    // The key at a corrected path as the registry names it: the hive's name, the
    // Init path and the path, joined by backslashes.
    std::wstring RegistryKeyText(const CorrectedPath& path) const;

    // The key of a policy value at a corrected path as the registry names it,
    // in the hive of its policy kind: "HKEY_LOCAL_MACHINE\Software\Policies\...".
    std::wstring PolicyKeyText(OriginKind kind, const CorrectedPath& path) const;

    // Removes what is not locked of the subtree of child (whose registry path
    // below HKEY_CURRENT_USER is registryPath, empty to leave the registry
    // alone): unlocked values, and keys holding no locked value. Throws
    // std::bad_alloc.
    static void RemoveUnlocked(OpsInfo& child, const std::wstring& registryPath);

    // A count of the last Init, or E_FAIL before Init.
    HRESULT LoadCount(LONG LoadCounts::*count, LONG* result) const;

    VARIANT_BOOL m_bDirty = 0;
    OpsInfoTree m_pRoot;       // null until Init; the object's own cache
    std::wstring m_sMainKey;   // the path given to Init, up to its first null
    UniqueBstr m_bstrRoot;     // the prefix: null, or text without nulls ending in a backslash
    HKEY m_hive = nullptr;     // the hive given to Init
    std::wstring m_policyKey;  // the policy key of the Init path (PolicyLayer.h)

    // What the last Init found, kept beside the cache for the diagnostics: the
    // settings files in merge order (the origins of merged values index them)
    // and the counts of the cache right after the merge.
    SettingsFileRows m_settingsFiles;
    LoadCounts m_loadCounts;

    // What a refresh needs (edits' replaced values, the file layer), and the
    // watch, window and event sinks, made on first use. The sinks go first.
    LiveCacheState m_liveCache;
    std::unique_ptr<LiveEvents> m_liveEvents;
    LiveEvents& Events();

    friend class RefreshBuilder;
};

// Counts the keys below root, and the values of root and those keys, with the
// values a settings file gave.
LoadCounts CountCache(const OpsInfo& root);

}  // namespace veska
