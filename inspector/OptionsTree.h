// The options store as veskaopt sees it: one options object of the registered
// VeskaOptions.dll, created by its ProgID and bound with Init, and the tree its
// cache holds, read through GetKeys, GetValues and the diagnostics interface.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "VeskaOptions_h.h"
#include "support/MainKeyHives.h"
#include "support/Owners.h"

namespace veskaopt {

// The hive of a MainKey number; HKEY_CURRENT_USER's for a number Init refuses.
using Hive = veska::MainKeyHive;
const Hive& HiveOf(int mainKey);

// The origin kind of a value whose object lacks the diagnostics interface; the
// interface's own kinds are VeskaOrigin's, all of them 0 or above.
inline constexpr long kOriginUnknown = -1;

// Where a value of the cache comes from, as the diagnostics interface tells.
struct Origin {
    long kind = kOriginUnknown;  // a VeskaOrigin, or kOriginUnknown
    std::wstring source;    // registry key or settings file
    long line = 0;          // line in the settings file, 0 where unknown
    std::wstring replaced;  // registry key of the value a settings file replaced
    std::wstring unconverted;  // the file's Type the text did not convert to, or empty
};

struct ValueNode {
    std::wstring name;
    veska::UniqueVariant data;
    Origin origin;
};

struct KeyNode {
    std::wstring name;
    std::vector<ValueNode> values;
    std::vector<KeyNode> keys;
};

// "a\b" from "a" and "b"; either may be empty.
std::wstring JoinPath(const std::wstring& path, const std::wstring& name);

// One row of GetSettingsFiles or CheckSettings.
struct SettingsFileRow {
    std::wstring path;
    std::wstring result;  // "merged", "failed" or "refused"
    long line = 0;
    long column = 0;
    std::wstring message;
};

class OptionsSession {
public:
    // Creates an options object; throws ToolError when the class is not
    // registered or cannot be created.
    OptionsSession();

    // Binds the object to ROOT of the hive. ROOT must exist there (kExitNotFound
    // otherwise). A settings file that fails to merge is noted on stderr.
    void Init(int mainKey, const std::wstring& root);

    // The tree below path as the cache holds it; kExitNotFound when the path is
    // not in the cache. withOrigins asks the diagnostics interface per value.
    KeyNode ReadTree(const std::wstring& path, bool withOrigins);

    bool HasKey(const std::wstring& path);
    // S_OK with the value, or the failure of GetValueByName.
    HRESULT GetValue(const std::wstring& path, const std::wstring& name,
                     veska::UniqueVariant& value);

    IVeskaOptions3* Options() const noexcept { return options_.get(); }

    // The diagnostics interface, or null (noted once on stderr) when the DLL
    // does not answer for it.
    IVeskaOptionsDiagnostics* Diagnostics();

    // Where a value comes from, as the diagnostics interface tells; kind
    // kOriginUnknown without it or when it does not answer.
    Origin OriginOf(const std::wstring& path, const std::wstring& name);

    // The policy interface, or null when the DLL does not answer for it (one
    // from before fleet policy, which locks nothing).
    IVeskaOptionsPolicy* Policy();

    // The rows of an array handed out by GetSettingsFiles or CheckSettings.
    static std::vector<SettingsFileRow> ReadSettingsRows(const VARIANT& rows);

private:
    void Fill(KeyNode& node, const std::wstring& path, bool withOrigins);

    veska::ComPtr<IVeskaOptions3> options_;
    veska::ComPtr<IVeskaOptionsDiagnostics> diagnostics_;
    bool diagnosticsAsked_ = false;
    veska::ComPtr<IVeskaOptionsPolicy> policy_;
    bool policyAsked_ = false;
};

}  // namespace veskaopt
