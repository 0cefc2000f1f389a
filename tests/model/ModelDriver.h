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
struct CallArgs;

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
    // Writes machine policy below HKEY_LOCAL_MACHINE\policyPath: a value for
    // about a third of the registry model's values, and one more in a key the
    // registry lacks. Objects made afterwards, and their models, see those
    // values locked.
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
    // One member of the table: the arguments it draws (Draws flags, always drawn
    // in the order of the flags), and either its call on the model and on the
    // object, whose HRESULTs are compared, or, for the reading members, compare,
    // which calls both and compares results and out-parameters too.
    struct Member {
        const char* name;
        int weight;
        bool reads;  // changes nothing
        unsigned draws;
        HRESULT (*model)(OptionsModel& model, const CallArgs& args);
        HRESULT (*object)(IVeskaOptions3* object, const CallArgs& args);
        std::wstring (*compare)(IVeskaOptions3* object, const OptionsModel& model,
                                const CallArgs& args);
    };
    static const Member kMembers[];

    // The arguments a member's flags ask for, drawn in their fixed order.
    void DrawArgs(unsigned draws, CallArgs& args);
    std::wstring Describe(const Member& member, const CallArgs& args) const;
    std::wstring RunMember(const Member& member);
    // A call through IDispatch with optional arguments left out; it picks the
    // member itself.
    std::wstring DoLateBound(const CallArgs& args);
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
