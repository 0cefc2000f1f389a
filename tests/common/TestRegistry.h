// Registry helpers for tests: a scratch key of its own per test, removed again
// afterwards, and a textual snapshot of a subtree to compare before and after.
#pragma once

#include <windows.h>

#include <string>

namespace veska::test {

// The platform this program is built for, as type libraries and their registry
// keys name it: SYS_WIN64 and "win64" in a 64-bit program, SYS_WIN32 and "win32"
// in a 32-bit one.
constexpr SYSKIND kOwnSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
constexpr const wchar_t* kOwnTypeLibPlatformKey = sizeof(void*) == 8 ? L"win64" : L"win32";

// A fresh, unique key below HKEY_CURRENT_USER\Software\VeskaOptionsTests, deleted
// with its whole subtree when the object goes away.
class ScratchKey {
public:
    ScratchKey();
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    // The path below HKEY_CURRENT_USER, as Init takes it.
    const std::wstring& Path() const { return path_; }
    // Path() followed by a backslash and sub, or Path() for an empty sub.
    std::wstring PathOf(const std::wstring& sub) const;

private:
    std::wstring path_;
};

// The policy key of a scratch key ("Software\Policies\VeskaOptionsTests\..."),
// deleted in both HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER with its subtree
// before and after.
class ScratchPolicy {
public:
    explicit ScratchPolicy(const ScratchKey& scratch);
    ~ScratchPolicy();
    ScratchPolicy(const ScratchPolicy&) = delete;
    ScratchPolicy& operator=(const ScratchPolicy&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring PathOf(const std::wstring& sub) const;

private:
    std::wstring path_;
};

// Creates hive\path (and every missing key on the way).
void CreateKey(HKEY hive, const std::wstring& path);
void SetString(HKEY hive, const std::wstring& path, const wchar_t* name, const std::wstring& text);
void SetDword(HKEY hive, const std::wstring& path, const wchar_t* name, DWORD value);
// Any registry type and raw data.
void SetRaw(HKEY hive, const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
            DWORD size);
void DeleteTree(HKEY hive, const std::wstring& path);

bool KeyExists(HKEY hive, const std::wstring& path);
bool ValueExists(HKEY hive, const std::wstring& path, const wchar_t* name);
// The type and raw data of a value; false when it is missing.
bool ReadRaw(HKEY hive, const std::wstring& path, const wchar_t* name, DWORD* type,
             std::string* data);
std::wstring ReadString(HKEY hive, const std::wstring& path, const wchar_t* name);
DWORD ReadDword(HKEY hive, const std::wstring& path, const wchar_t* name);

// Every key and value of the subtree, one line each, in enumeration order;
// empty when the key is missing.
std::wstring Snapshot(HKEY hive, const std::wstring& path);

}  // namespace veska::test
