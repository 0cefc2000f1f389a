// Drives one real options object and its reference model with the same seeded
// random calls of every member of IVeskaOptions, IVeskaOptions2 and
// IVeskaOptions3, and compares after every call what both hand back.
//
// Arguments come from small pools so that calls meet each other: paths that
// name cached keys (walked from the key the Root prefix names) or new ones, in
// mixed case, sometimes null, empty, with leading, trailing or doubled
// backslashes or an embedded null; value names including "(Default)", the empty
// name and 255 characters; VARIANTs of every type tag, by-reference ones and
// out-of-range decimals included; ChangeDefault and SetDirtyBit on and off.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "OptionsModel.h"
#include "VeskaOptions_h.h"
#include "support/Owners.h"

namespace veska::test {

// A number from the environment variable name, or fallback when it is not set.
unsigned FromEnvironment(const char* name, unsigned fallback);

// The current edition's type library registered while it lives, for calls
// through IDispatch.
class TypeLibRegistration {
public:
    TypeLibRegistration();
    ~TypeLibRegistration();
    TypeLibRegistration(const TypeLibRegistration&) = delete;
    TypeLibRegistration& operator=(const TypeLibRegistration&) = delete;

private:
    ComPtr<ITypeLib> library_;
};

struct ValueArg;

class ModelDriver {
public:
    // initPath: the key below HKEY_CURRENT_USER the objects are bound to; it
    // holds what `registry` holds (SeedRegistry fills both). With lateBound,
    // some calls go through IDispatch with their optional arguments left out
    // (the type library must be registered). With readOnly, only the reading
    // members and an Init are called.
    ModelDriver(std::wstring initPath, std::uint32_t seed, bool lateBound = false,
                bool readOnly = false);
    ~ModelDriver();
    ModelDriver(const ModelDriver&) = delete;
    ModelDriver& operator=(const ModelDriver&) = delete;

    // A small random tree in the registry model, written below the Init path
    // (which must be empty).
    void SeedRegistry();
    // Machine policy over some of the seeded values and on a key of its own,
    // written below HKEY_LOCAL_MACHINE\policyPath; every object made from now
    // on, and its model, finds it locked.
    void SeedPolicy(const std::wstring& policyPath);

    // One random call on both, then the reads of the paths it named. Empty when
    // object and model agree, else what differed.
    std::wstring Step();
    // Inits both on hive 1, if they are not yet.
    std::wstring Initialise();
    // Every key and value of the cache, Dirty and Root, through the members.
    std::wstring CompareAll();
    // The registry below the Init path, compared as a set of keys and values.
    std::wstring CompareRegistry();
    // The registry keys the model changed since the last look, each read on its
    // own; *changed tells whether there were any.
    std::wstring CompareChangedKeys(bool* changed);
    // A fresh object bound to the Init path loads what the registry model holds.
    std::wstring CompareReload();
    // A fresh object and model in place of the current ones, not initialised.
    void Recreate();

    // The latest calls, oldest first, one a line.
    std::wstring RecentCalls() const;
    unsigned Steps() const { return steps_; }
    // The member being called, or what the driver does between calls; read by
    // a watchdog on another thread.
    const char* CurrentCall() const { return currentCall_; }

    RegistryModel registry;
    RegistryModel policy;  // below the policy key; empty without SeedPolicy

private:
    using Run = std::wstring (ModelDriver::*)();
    // A member that takes a key path, for some a value name, and ChangeDefault,
    // and answers with its HRESULT alone; called on the object and the model.
    struct PathMember {
        const wchar_t* name;
        bool named;    // takes a value name after the path
        bool newLeaf;  // its path may end in a key not there yet
        HRESULT (*model)(OptionsModel& model, const Arg& path, const Arg& attr, LONG changeDefault);
        HRESULT (*object)(IVeskaOptions3* object, BSTR path, BSTR attr, LONG changeDefault);
    };
    // The first three are late-bound calls too, in this order.
    static const PathMember kPathMembers[];
    struct Op {
        const char* name;
        int weight;
        bool reads;  // changes nothing
        Run run;     // or, when null, member is called
        const PathMember* member = nullptr;
    };
    static const Op kOps[];

    std::wstring DoInit();
    std::wstring DoApply();
    std::wstring DoGetKeys();
    std::wstring DoGetValues();
    std::wstring DoGetValueByName();
    std::wstring DoSetValueByName();
    std::wstring DoAddValueByName();
    std::wstring DoSetKeysOrValues();
    std::wstring DoGetDirtyAndRoot();
    std::wstring DoPutDirty();
    std::wstring DoPutRoot();
    std::wstring DoPathMember(const PathMember& member);
    std::wstring DoLateBound();
    std::wstring CompareTouched();
    std::wstring CompareReads(const Arg& path, const Arg& attr);

    // Random arguments.
    bool Chance(double p);
    unsigned Pick(unsigned n);
    std::wstring MixCase(std::wstring text);
    std::wstring RandomKeyName();
    Arg RandomPath(bool newLeaf);
    Arg Misshape(std::wstring path);
    Arg RandomAttr(const Arg& path);
    Arg RandomRoot();
    LONG RandomFlag();
    std::unique_ptr<ValueArg> RandomValue(const Arg& path, const Arg& attr);
    void RandomKey(const std::wstring& path, int depth);
    // Records a call for RecentCalls and the paths and name read back after it.
    void Call(std::wstring description, std::vector<Arg> paths = {}, Arg attr = std::nullopt);

    std::wstring initPath_;
    std::mt19937 rng_;
    bool lateBound_;
    bool readOnly_;
    ComPtr<IVeskaOptions3> object_;
    std::unique_ptr<OptionsModel> model_;
    std::vector<Arg> touchedPaths_;
    Arg touchedAttr_;
    std::deque<std::wstring> recent_;
    std::atomic<unsigned> steps_{0};
    std::atomic<const char*> currentCall_{"not started"};
};

}  // namespace veska::test
