// Default values from the XML settings files of the installation, merged into an
// options cache when the object is initialised.
//
// The files are every "*.xml" in "Dat\Settings\" below the parent of the folder
// that holds the library (the module of TheModule.Instance(), or the module this
// code is linked into when that is null). Each file is read by its own XML data
// component, created by the ProgID kXmlDataProgId. The merge changes only the
// cache, never the registry.
#pragma once

#include <oaidl.h>

#include <cstddef>

#include "contracts/XmlData.h"
#include "options/OpsInfo.h"

namespace veska {

// The token that default settings values begin with to name the installation
// directory, and its length. Constants, in place before any code of the library
// runs.
inline constexpr wchar_t InstallDirToken[] = L"INSTALLDIR";
inline constexpr std::size_t InstallDirTokenLength = sizeof(InstallDirToken) / sizeof(wchar_t) - 1;

// Merges every settings file into the cache below root (the node of the key given
// to Init), in the order the file search returns them, so a later file overrides
// an earlier one. Returns true when at least one file failed (what it merged
// before failing stays) or the library's path does not fit 260 characters; false
// when every file found was merged or none was found. Runs under the exclusive
// options cache lock. Throws std::bad_alloc or HResultError when memory runs out.
bool LoadDefaultSettings(OpsInfo& root);

// Merges the "Value" children of element into node, then each "Key" child into
// the child node of its name, depth first in list order, at any depth without
// recursion. S_OK when everything merged; S_FALSE when some part failed (what
// merged stays); the failure of element's own child list (E_UNEXPECTED when it
// gave none). The caller keeps its reference on element. Throws like
// LoadDefaultSettings.
HRESULT MergeSettingsElement(OpsInfo& node, IXMLDataNode* element);

// The VARIANT type tag of a settings "Type" name, compared without regard to the
// case of A to Z; 0 for a null or unknown name.
VARTYPE ValueTypeFromName(const wchar_t* name) noexcept;

}  // namespace veska
