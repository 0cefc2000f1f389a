#include "trace/TimeTrace.h"

#include <cwchar>

#include "support/Owners.h"

namespace veska {

TimeTraceCallbackFn TimeTraceCallback = nullptr;
DWORD TimeTraceSwitch = 0;

namespace {

// Reads a 4-byte value of any registry type; false when it is missing or longer.
bool ReadSwitchValue(HKEY key, const wchar_t* name, DWORD* value) noexcept {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    *value = data;
    return true;
}

// Reads the switch for the component whose sources live in the folder named by
// the path's second-to-last segment. A path without that segment reads nothing.
void ReadTraceSwitch(const wchar_t* sourcePath) noexcept {
    if (sourcePath == nullptr) return;
    wchar_t buffer[MAX_PATH];
    std::wcsncpy(buffer, sourcePath, MAX_PATH - 1);
    buffer[MAX_PATH - 1] = L'\0';

    wchar_t* fileSeparator = std::wcsrchr(buffer, L'\\');
    if (fileSeparator == nullptr) return;
    *fileSeparator = L'\0';
    const wchar_t* folderSeparator = std::wcsrchr(buffer, L'\\');
    if (folderSeparator == nullptr) return;
    const wchar_t* component = folderSeparator + 1;

    UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    if (!ReadSwitchValue(key.get(), L"All", &TimeTraceSwitch)) {
        ReadSwitchValue(key.get(), component, &TimeTraceSwitch);
    }
}

}  // namespace

TimeTraceLoader::TimeTraceLoader(const wchar_t* sourcePath) noexcept {
    ReadTraceSwitch(sourcePath);
    if (TimeTraceSwitch == 0) return;
    if (!library_) {
        library_.reset(::LoadLibraryW(L"OxaTimeTrace.dll"));
        if (!library_) return;
    }
    if (TimeTraceCallback == nullptr) {
        // Through a generic function pointer: FARPROC's own signature is unrelated.
        auto entry = reinterpret_cast<void (*)()>(::GetProcAddress(library_.get(), "OxaTimeTrace"));
        TimeTraceCallback = reinterpret_cast<TimeTraceCallbackFn>(entry);
    }
}

TimeTraceLoader::~TimeTraceLoader() {
    if (library_) {
        TimeTraceCallback = nullptr;  // before the sink's code goes away
        library_.reset();
    }
}

void TimeTraceScope::ReportEnter(const wchar_t* text) noexcept {
    if (text != nullptr) {
        std::wcsncpy(text_, text, kTextCapacity);
        text_[kTextCapacity] = L'\0';
    }
    if (TimeTraceCallbackFn callback = TimeTraceCallback) {
        callback(kTimeTraceEnter, function_, file_, line_, text);
    }
}

void TimeTraceScope::ReportLeave() noexcept {
    if (TimeTraceCallbackFn callback = TimeTraceCallback) {
        callback(kTimeTraceLeave, function_, file_, line_, text_);
    }
}

}  // namespace veska
