// What a refresh needs of the cache nodes (LiveRefresh.cpp): folded names and
// paths, exact comparisons of values, the marks it leaves on nodes, the layer
// of settings files laid over the registry's values, and the settings folder's
// listing.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options/DefaultSettings.h"
#include "options/LiveRefresh.h"
#include "options/OpsInfo.h"

namespace veska::live {

// A stamp no key has: the next refresh reads the node again.
constexpr std::uint64_t kUnverifiedStamp = OpsInfo::kLocalStamp + 1;

std::wstring Folded(std::wstring_view text);
// path and name with one backslash between them (none after an empty path).
std::wstring Join(const std::wstring& path, std::wstring_view name);

// True when a and b hold the same type and the same data, compared exactly
// (not by the locale, which holds some different texts equal).
bool SameData(const VARIANT& a, const VARIANT& b) noexcept;
bool SameOrigin(const VARIANT& a, const VARIANT& b) noexcept;
// True when both are missing, or both present with the same data.
bool SameSource(const VARIANT* a, const VARIANT* b) noexcept;

const OpsInfo* ChildOf(const OpsInfo* node, std::wstring_view folded) noexcept;
bool HasRegistryChildren(const OpsInfo& node) noexcept;
// True when a settings file or policy gave, or an unsaved edit holds, a value
// of node.
bool HoldsFileOrEdit(const OpsInfo& node) noexcept;
// True when only settings files made node and the keys below it.
bool OnlyFilesMade(const OpsInfo& node) noexcept;
// Stamps node and the keys below it kUnverifiedStamp.
void MarkUnverified(OpsInfo& node) noexcept;
// Lays the values and keys of files (the file layer at the same place) over
// node, as the merge of Init lays them over the registry's.
void OverlayFiles(OpsInfo& node, const OpsInfo* files);

// The settings files of folder in the order the merge takes them.
std::vector<SettingsFileStamp> ListSettingsFolder(const std::wstring& folder);
// True when the listing differs from the files Init merged, or a file was
// written since Init read it.
bool ChangedSinceInit(const std::vector<SettingsFileStamp>& listing, const std::wstring& folder,
                      const SettingsFileRows& rows, std::uint64_t loadTime);

}  // namespace veska::live
