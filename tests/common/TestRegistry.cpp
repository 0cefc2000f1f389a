#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace veska::test {

namespace {

std::atomic<unsigned> scratchCounter{0};

HKEY OpenKey(HKEY hive, const std::wstring& path, REGSAM access) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(hive, path.c_str(), 0, access, &key) != ERROR_SUCCESS) return nullptr;
    return key;
}

HKEY CreateKeyHandle(HKEY hive, const std::wstring& path) {
    HKEY key = nullptr;
    const LONG rc = ::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &key, nullptr);
    EXPECT_EQ(rc, ERROR_SUCCESS) << "creating key";
    return key;
}

void SnapshotInto(HKEY key, const std::wstring& prefix, std::wstring& out) {
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        std::vector<BYTE> data(65536);
        DWORD size = static_cast<DWORD>(data.size());
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        wchar_t head[64];
        std::swprintf(head, 64, L" type=%lu size=%lu data=", type, size);
        out += prefix + L"@" + name + head;
        for (DWORD b = 0; b < size; ++b) {
            wchar_t hex[4];
            std::swprintf(hex, 4, L"%02x", data[b]);
            out += hex;
        }
        out += L"\n";
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        out += prefix + name + L"\\\n";
        HKEY child = OpenKey(key, name, KEY_READ);
        if (child != nullptr) {
            SnapshotInto(child, prefix + name + L"\\", out);
            ::RegCloseKey(child);
        }
    }
}

}  // namespace

ScratchKey::ScratchKey() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::wstring name = L"Software\\VeskaOptionsTests\\";
    if (info != nullptr) {
        for (const char* p = info->test_suite_name(); *p; ++p) name += static_cast<wchar_t>(*p);
        name += L".";
        for (const char* p = info->name(); *p; ++p) name += (*p == '/') ? L'_' : static_cast<wchar_t>(*p);
    }
    wchar_t unique[48];
    std::swprintf(unique, 48, L"-%lu-%u", ::GetCurrentProcessId(), scratchCounter.fetch_add(1));
    path_ = name + unique;
    DeleteTree(HKEY_CURRENT_USER, path_);
    CreateKey(HKEY_CURRENT_USER, path_);
}

ScratchKey::~ScratchKey() { DeleteTree(HKEY_CURRENT_USER, path_); }

std::wstring ScratchKey::PathOf(const std::wstring& sub) const {
    return sub.empty() ? path_ : path_ + L"\\" + sub;
}

ScratchPolicy::ScratchPolicy(const ScratchKey& scratch)
    : path_(L"Software\\Policies\\" + scratch.Path().substr(std::wcslen(L"Software\\"))) {
    DeleteTree(HKEY_LOCAL_MACHINE, path_);
    DeleteTree(HKEY_CURRENT_USER, path_);
}

ScratchPolicy::~ScratchPolicy() {
    DeleteTree(HKEY_LOCAL_MACHINE, path_);
    DeleteTree(HKEY_CURRENT_USER, path_);
}

std::wstring ScratchPolicy::PathOf(const std::wstring& sub) const {
    return sub.empty() ? path_ : path_ + L"\\" + sub;
}

void CreateKey(HKEY hive, const std::wstring& path) {
    HKEY key = CreateKeyHandle(hive, path);
    if (key != nullptr) ::RegCloseKey(key);
}

void SetRaw(HKEY hive, const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
            DWORD size) {
    HKEY key = CreateKeyHandle(hive, path);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
}

void SetString(HKEY hive, const std::wstring& path, const wchar_t* name, const std::wstring& text) {
    SetRaw(hive, path, name, REG_SZ, text.c_str(),
           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetDword(HKEY hive, const std::wstring& path, const wchar_t* name, DWORD value) {
    SetRaw(hive, path, name, REG_DWORD, &value, sizeof(value));
}

void DeleteTree(HKEY hive, const std::wstring& path) {
    ::RegDeleteTreeW(hive, path.c_str());
    ::RegDeleteKeyW(hive, path.c_str());
}

bool KeyExists(HKEY hive, const std::wstring& path) {
    HKEY key = OpenKey(hive, path, KEY_READ);
    if (key == nullptr) return false;
    ::RegCloseKey(key);
    return true;
}

bool ReadRaw(HKEY hive, const std::wstring& path, const wchar_t* name, DWORD* type,
             std::string* data) {
    HKEY key = OpenKey(hive, path, KEY_READ);
    if (key == nullptr) return false;
    DWORD size = 0;
    LONG rc = ::RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        data->assign(size, '\0');
        rc = ::RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(&(*data)[0]), &size);
        data->resize(size);
    }
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool ValueExists(HKEY hive, const std::wstring& path, const wchar_t* name) {
    DWORD type = 0;
    std::string data;
    return ReadRaw(hive, path, name, &type, &data);
}

std::wstring ReadString(HKEY hive, const std::wstring& path, const wchar_t* name) {
    DWORD type = 0;
    std::string data;
    if (!ReadRaw(hive, path, name, &type, &data)) return L"<missing>";
    if (type != REG_SZ) return L"<not REG_SZ>";
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

DWORD ReadDword(HKEY hive, const std::wstring& path, const wchar_t* name) {
    DWORD type = 0;
    std::string data;
    if (!ReadRaw(hive, path, name, &type, &data) || type != REG_DWORD || data.size() != 4) {
        ADD_FAILURE() << "no REG_DWORD value";
        return 0xDEADBEEF;
    }
    return *reinterpret_cast<const DWORD*>(data.data());
}

std::wstring Snapshot(HKEY hive, const std::wstring& path) {
    std::wstring out;
    HKEY key = OpenKey(hive, path, KEY_READ);
    if (key == nullptr) return out;
    SnapshotInto(key, L"", out);
    ::RegCloseKey(key);
    return out;
}

}  // namespace veska::test
