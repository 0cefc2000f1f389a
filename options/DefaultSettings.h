// Default values from the XML settings files of the installation, merged into an
// options cache when the object is initialised.
//
// The files are every "*.xml" in "Dat\Settings\" below the parent of the folder
// that holds the library (LibraryModule, the hook com/ModuleLock.h declares and
// the module defines). Each file is read by its own XML data component, created
// by the ProgID kXmlDataProgId. The merge changes only the cache, never the
// registry.
#pragma once

#include <oaidl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "contracts/XmlData.h"
#include "options/OpsInfo.h"
#include "options/SettingsTypes.h"

namespace veska {

// The token that default settings values begin with to name the installation
// directory, and its length. Constants, in place before any code of the library
// runs.
inline constexpr wchar_t InstallDirToken[] = L"INSTALLDIR";
inline constexpr std::size_t InstallDirTokenLength = sizeof(InstallDirToken) / sizeof(wchar_t) - 1;

// What the merge made of one settings file.
enum class SettingsFileResult { Merged, Failed, Refused };

struct SettingsFileRow {
    std::wstring path;
    SettingsFileResult result = SettingsFileResult::Merged;
    LONG line = 0;    // where the cause lies, 0 when unknown
    LONG column = 0;
    std::wstring message;  // the first cause; empty when merged
};
using SettingsFileRows = std::vector<SettingsFileRow>;

// The result's name as the diagnostics hand it out: "merged", "failed" or "refused".
const wchar_t* SettingsResultName(SettingsFileResult result) noexcept;

// The folder the settings files are read from, ending in a backslash. False when
// the library's path does not fit 260 characters: a cut path would point
// somewhere else.
bool SettingsFolderPath(std::wstring& folder);

// Merges every settings file into the cache below root (the node of the key given
// to Init), in the order the file search returns them, so a later file overrides
// an earlier one. S_OK when every file found was merged or none was found;
// S_FALSE when at least one file failed or was refused (what it merged before
// failing stays) or the library's path does not fit 260 characters. When rows is
// given, one row per file is appended in merge order, and each merged value's
// origin names its row. Runs under the exclusive options cache lock. Throws
// std::bad_alloc or HResultError when memory runs out.
HRESULT LoadDefaultSettings(OpsInfo& root, SettingsFileRows* rows = nullptr);

// The same merge over the files at path: every "*.xml" of path when it is a
// folder (with or without its trailing backslash), path alone otherwise. The
// caller has checked that path exists. Results as LoadDefaultSettings.
HRESULT MergeSettingsFiles(OpsInfo& root, const std::wstring& path, bool folder,
                           SettingsFileRows* rows);

// Where the merge of one element records what it finds: the origin file index
// its values get, and the first failure's cause with the line of its element
// (0 where the component gives none).
struct MergeRecord {
    std::uint16_t file = 0;
    std::wstring firstFailure;
    LONG line = 0;
};

// The line at which the component's parser met element (IXMLDataNode2); 0
// where it gives none, as a component without that interface does.
LONG ElementLine(IXMLDataNode* element);

// Merges the "Value" children of element into node, then each "Key" child into
// the child node of its name, depth first in list order, at any depth without
// recursion. S_OK when everything merged; S_FALSE when some part failed (what
// merged stays); the failure of element's own child list (E_UNEXPECTED when it
// gave none). The caller keeps its reference on element. Throws like
// LoadDefaultSettings.
HRESULT MergeSettingsElement(OpsInfo& node, IXMLDataNode* element, MergeRecord* record = nullptr);

}  // namespace veska
