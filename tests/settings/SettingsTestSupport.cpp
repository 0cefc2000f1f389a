#include "SettingsTestSupport.h"

#include <objbase.h>
#include <process.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "TestPaths.h"
#include "com/Dispatch.h"
#include "module/Module.h"
#include "contracts/InstallationInfo.h"
#include "tests/common/FakeObject.h"

namespace veska::test {

namespace {

std::atomic<unsigned> layoutCounter{0};

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                EXPECT_TRUE(::DeleteFileW(path.c_str())) << "cannot remove a test file";
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
}

// Answers every setting with the directory it was given.
class StandInObject final
    : public FakeObject<StandInObject, FakeLife::Immortal, DispatchWithoutTypeInfo<IInstallationInfo>,
                        IClassFactory> {
public:
    using Interfaces = InterfaceMap<Entry<IInstallationInfo>, Entry<IDispatch, IInstallationInfo>,
                                    Entry<IClassFactory>>;
    explicit StandInObject(const wchar_t* directory) : directory_(directory) {}

    STDMETHODIMP CreateInstance(IUnknown*, REFIID iid, void** ppv) override {
        return QueryInterface(iid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
    STDMETHODIMP get_ProductName(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_ProductVersion(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSetting(BSTR, VARIANT* value) override {
        value->vt = VT_BSTR;
        value->bstrVal = ::SysAllocString(directory_.c_str());
        return S_OK;
    }

private:
    std::wstring directory_;
};

std::vector<std::unique_ptr<StandInObject>> standIns;  // live until the process ends

unsigned __stdcall RunBody(void* argument) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    (*static_cast<const std::function<void()>*>(argument))();
    ::CoUninitialize();
    return 0;
}

}  // namespace

SettingsLayout::SettingsLayout(bool withSettingsFolder, std::size_t padding) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    wchar_t unique[64];
    std::swprintf(unique, 64, L"VeskaSettings-%lu-%u", ::GetCurrentProcessId(), layoutCounter++);
    top_ = std::wstring(temp) + unique;
    root_ = padding == 0 ? top_ : top_ + L"\\" + std::wstring(padding, L'p');
    RemoveTree(top_);
    EXPECT_TRUE(::CreateDirectoryW(top_.c_str(), nullptr));
    if (padding != 0) {
        EXPECT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
    }
    EXPECT_TRUE(::CreateDirectoryW((root_ + L"\\bin").c_str(), nullptr));
    if (withSettingsFolder) {
        EXPECT_TRUE(::CreateDirectoryW((root_ + L"\\Dat").c_str(), nullptr));
        EXPECT_TRUE(::CreateDirectoryW((root_ + L"\\Dat\\Settings").c_str(), nullptr));
    }
    EXPECT_TRUE(::CopyFileW(VESKA_TEST_DLL(L"current"), DllPath().c_str(), TRUE));
    copy_ = ::LoadLibraryW(DllPath().c_str());
    EXPECT_NE(copy_, nullptr);
    TheModule.SetInstance(copy_);
}

SettingsLayout::~SettingsLayout() {
    ReleaseCopy();
    RemoveTree(top_);
    EXPECT_EQ(::GetFileAttributesW(top_.c_str()), INVALID_FILE_ATTRIBUTES) << "layout left behind";
}

void SettingsLayout::ReleaseCopy() {
    TheModule.SetInstance(nullptr);
    if (copy_ != nullptr) ::FreeLibrary(copy_);
    copy_ = nullptr;
}

void SettingsLayout::AddFile(const std::wstring& name, const std::string& bytes) const {
    const HANDLE file = ::CreateFileW((SettingsFolder() + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ::CloseHandle(file);
}

CompanionRegistration::CompanionRegistration()
    : library_(::LoadLibraryW(VESKA_TEST_COMPANION(L"XMLDataIfsImpl.dll"))) {
    EXPECT_NE(library_, nullptr);
    auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(library_, "DllRegisterServer")));
    EXPECT_EQ(reg ? reg() : E_FAIL, S_OK);
}

CompanionRegistration::~CompanionRegistration() {
    auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(library_, "DllUnregisterServer")));
    EXPECT_EQ(unreg ? unreg() : E_FAIL, S_OK);
    ::FreeLibrary(library_);
}

HRESULT CompanionRegistration::CanUnloadNow() const {
    auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(library_, "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_FAIL;
}

InstallationInfoStandIn::InstallationInfoStandIn(const wchar_t* directory) {
    standIns.push_back(std::make_unique<StandInObject>(directory));
    EXPECT_EQ(::CoRegisterClassObject(CLSID_InstallationInfo,
                                      static_cast<IClassFactory*>(standIns.back().get()),
                                      CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_),
              S_OK);
}

InstallationInfoStandIn::~InstallationInfoStandIn() { ::CoRevokeClassObject(cookie_); }

std::string SettingsXml(const std::string& body, const std::string& root) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<" + root + ">" + body + "</" + root + ">";
}

OpsInfo* CachedNode(OpsInfo& root, const std::wstring& path) {
    OpsInfo* node = &root;
    std::size_t start = 0;
    while (node != nullptr && start <= path.size() && !path.empty()) {
        const std::size_t end = std::min(path.find(L'\\', start), path.size());
        auto found = node->keys.find(UnfoldedName{std::wstring_view(path).substr(start, end - start)});
        node = found == node->keys.end() ? nullptr : found->second.get();
        start = end + 1;
    }
    return node;
}

const VARIANT* CachedValue(OpsInfo& root, const std::wstring& path, const wchar_t* name) {
    OpsInfo* node = CachedNode(root, path);
    if (node == nullptr) return nullptr;
    auto found = node->values.find(UnfoldedName{name});
    return found == node->values.end() ? nullptr : found->second.get();
}

void FreeTree(OpsInfo* root) { delete root; }

bool RunOnThread(SIZE_T stackBytes, const std::function<void()>& body) {
    const HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), RunBody,
                       const_cast<std::function<void()>*>(&body), STACK_SIZE_PARAM_IS_A_RESERVATION,
                       nullptr));
    if (thread == nullptr) return false;
    const bool finished = ::WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
    if (finished) ::CloseHandle(thread);  // a hung thread keeps its handle and body
    return finished;
}

}  // namespace veska::test
