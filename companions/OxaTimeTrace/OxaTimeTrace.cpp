// A trace sink for VeskaOptions' function-trace scopes.
//
// Every event becomes one line of UTF-8 text, appended to the file named by the
// environment variable OXA_TIME_TRACE_LOG (default: %TEMP%\OxaTimeTrace.log):
//
//   <event> TAB <thread id> TAB <microseconds> TAB <function> TAB <file> TAB <line> TAB <text>
//
// event is 1 (entered) or 2 (left); text is "(null)" for a null pointer. Calls
// may come from many threads at once; a critical section keeps lines whole.
#include <windows.h>

#include <cstdio>
#include <string>

#include "support/RuntimeTeardown.h"

namespace {

CRITICAL_SECTION lineLock;
HANDLE logFile = INVALID_HANDLE_VALUE;
LARGE_INTEGER frequency;

void AppendUtf8(std::string& line, const wchar_t* text) {
    if (text == nullptr) {
        line += "(null)";
        return;
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return;
    const std::size_t start = line.size();
    line.resize(start + size);
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &line[start], size, nullptr, nullptr);
    line.resize(start + size - 1);
}

void OpenLog() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetEnvironmentVariableW(L"OXA_TIME_TRACE_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        length = ::GetTempPathW(MAX_PATH, path);
        if (length == 0 || length + 17 >= MAX_PATH) return;
        ::lstrcatW(path, L"OxaTimeTrace.log");
    }
    logFile = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void AppendRecord(int event, const wchar_t* function, const wchar_t* file, int line,
                  const wchar_t* text) {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const long long micros = now.QuadPart * 1000000 / frequency.QuadPart;

    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "%d\t%lu\t%lld\t", event, ::GetCurrentThreadId(), micros);
    std::string record(prefix);
    AppendUtf8(record, function);
    record += '\t';
    AppendUtf8(record, file);
    record += '\t';
    record += std::to_string(line);
    record += '\t';
    AppendUtf8(record, text);
    record += "\r\n";

    ::EnterCriticalSection(&lineLock);
    if (logFile != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(logFile, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    }
    ::LeaveCriticalSection(&lineLock);
}

}  // namespace

extern "C" void __cdecl OxaTimeTrace(int event, const wchar_t* function, const wchar_t* file,
                                     int line, const wchar_t* text) {
    try {
        AppendRecord(event, function, file, line, text);
    } catch (...) {
        // A sink must never throw into the traced method; the event is dropped.
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
        ::InitializeCriticalSection(&lineLock);
        ::QueryPerformanceFrequency(&frequency);
        OpenLog();
    } else if (reason == DLL_PROCESS_DETACH) {
        if (logFile != INVALID_HANDLE_VALUE) ::CloseHandle(logFile);
        logFile = INVALID_HANDLE_VALUE;
        ::DeleteCriticalSection(&lineLock);
        if (reserved == nullptr) veska::FreeRuntimeArena();
    }
    return TRUE;
}
