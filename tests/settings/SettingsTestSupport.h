// Test scaffolding for the settings-file merge: a throwaway installation layout
// with a copy of the library, the XML data component registered for the test's
// lifetime, a stand-in installation information component, and cache helpers.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>

#include "options/OpsInfo.h"

namespace veska::test {

// <root>\bin\VeskaOptions.dll (a loaded copy of the current edition) and, unless
// withSettingsFolder is false, an empty <root>\Dat\Settings\, where <root> is
// <temp>\VeskaSettings-<pid>-<n>, followed by a folder of padding characters
// when padding is not 0. TheModule points at the copy while the layout lives;
// everything is removed afterwards.
class SettingsLayout {
public:
    explicit SettingsLayout(bool withSettingsFolder = true, std::size_t padding = 0);
    ~SettingsLayout();
    SettingsLayout(const SettingsLayout&) = delete;
    SettingsLayout& operator=(const SettingsLayout&) = delete;

    // Writes bytes as they are into the settings folder.
    void AddFile(const std::wstring& name, const std::string& bytes) const;
    const std::wstring& Root() const { return root_; }
    std::wstring SettingsFolder() const { return root_ + L"\\Dat\\Settings\\"; }
    std::wstring DllPath() const { return root_ + L"\\bin\\VeskaOptions.dll"; }
    // The layout's own load of the copy, until ReleaseCopy frees it (and points
    // TheModule at no module) for a test that loads and unloads the copy itself.
    HMODULE Copy() const { return copy_; }
    void ReleaseCopy();

private:
    std::wstring top_;
    std::wstring root_;
    HMODULE copy_ = nullptr;
};

// The XML data component registered (through its own DllRegisterServer) for the
// lifetime of the object, unregistered afterwards.
class CompanionRegistration {
public:
    CompanionRegistration();
    ~CompanionRegistration();
    CompanionRegistration(const CompanionRegistration&) = delete;
    CompanionRegistration& operator=(const CompanionRegistration&) = delete;

    // The component's DllCanUnloadNow: S_OK once none of its objects lives.
    HRESULT CanUnloadNow() const;

private:
    HMODULE library_ = nullptr;
};

// A class object for the installation information component, registered in this
// process while the object lives; it answers "Installation Dir" with directory.
class InstallationInfoStandIn {
public:
    explicit InstallationInfoStandIn(const wchar_t* directory);
    ~InstallationInfoStandIn();
    InstallationInfoStandIn(const InstallationInfoStandIn&) = delete;
    InstallationInfoStandIn& operator=(const InstallationInfoStandIn&) = delete;

private:
    DWORD cookie_ = 0;
};

// A settings file: <?xml?> header and <root>body</root> in UTF-8.
std::string SettingsXml(const std::string& body, const std::string& root = "OxaTest");

// The value filed under name in the node at the backslash-separated path, null
// when the key or the value is missing.
const VARIANT* CachedValue(OpsInfo& root, const std::wstring& path, const wchar_t* name);
// The node at path, null when missing.
OpsInfo* CachedNode(OpsInfo& root, const std::wstring& path);

// Releases a cache tree of any depth (the cache's own release lives in the
// options object).
void FreeTree(OpsInfo* root);

// Runs body on a new thread with a stack of stackBytes in its own single-threaded
// apartment; false when it did not finish within a minute.
bool RunOnThread(SIZE_T stackBytes, const std::function<void()>& body);

}  // namespace veska::test
