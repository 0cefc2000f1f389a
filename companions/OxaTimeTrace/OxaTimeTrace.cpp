// A trace sink for VeskaOptions' function-trace scopes.
//
// Every event becomes one line of UTF-8 text, appended to the file named by the
// environment variable OXA_TIME_TRACE_LOG (default: %TEMP%\OxaTimeTrace.log):
//
//   <event> TAB <thread id> TAB <microseconds> TAB <function> TAB <file> TAB <line> TAB <text>
//
// event is 1 (entered) or 2 (left); text is "(null)" for a null pointer.
//
// When the file name ends in ".json", or OXA_TIME_TRACE_FORMAT is "json", the
// sink writes trace-event JSON instead, which trace viewers open: one array of
// begin ("B") and end ("E") events with the process and thread ids, microsecond
// timestamps ("ts") and, as arguments, the file, the line and the text (when
// there is one). The file is then made anew for each process; it is valid JSON
// but for the closing bracket while the process runs (viewers accept that), and
// complete once the sink unloads.
//
// Calls may come from many threads at once; a critical section keeps records
// whole.
#include <windows.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "support/Owners.h"
#include "support/RuntimeTeardown.h"

namespace {

// Both are built before DllMain attaches and torn down after it detaches; the
// log is closed at the detach itself, after the JSON's closing bracket.
veska::CriticalSection lineLock;
veska::UniqueFile logFile;
LARGE_INTEGER frequency;
bool json = false;
bool firstEvent = true;  // JSON: no separator before the first event

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

std::string Utf8(const wchar_t* text) {
    std::string out;
    AppendUtf8(out, text);
    return out;
}

void Write(const std::string& bytes) {
    DWORD written = 0;
    ::WriteFile(logFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool WantsJson(const wchar_t* path) {
    wchar_t format[8];
    const DWORD length = ::GetEnvironmentVariableW(L"OXA_TIME_TRACE_FORMAT", format, 8);
    if (length > 0 && length < 8) return ::lstrcmpiW(format, L"json") == 0;
    const std::size_t size = ::lstrlenW(path);
    return size >= 5 && ::lstrcmpiW(path + size - 5, L".json") == 0;
}

void OpenLog() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetEnvironmentVariableW(L"OXA_TIME_TRACE_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        length = ::GetTempPathW(MAX_PATH, path);
        if (length == 0 || length + 17 >= MAX_PATH) return;
        ::lstrcatW(path, L"OxaTimeTrace.log");
    }
    json = WantsJson(path);
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    logFile.reset(::CreateFileW(path, json ? GENERIC_WRITE : FILE_APPEND_DATA, sharing, nullptr,
                                json ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (json && logFile) Write("[\n");
}

// One trace event; strings that are not valid UTF-16 are written with
// replacement characters instead of failing.
std::string JsonRecord(int event, long long micros, const wchar_t* function, const wchar_t* file,
                       int line, const wchar_t* text) {
    nlohmann::json record = {
        {"name", Utf8(function)},
        {"ph", event == 1 ? "B" : "E"},
        {"pid", ::GetCurrentProcessId()},
        {"tid", ::GetCurrentThreadId()},
        {"ts", micros},
        {"args", {{"file", Utf8(file)}, {"line", line}}},
    };
    if (text != nullptr) record["args"]["text"] = Utf8(text);
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void AppendRecord(int event, const wchar_t* function, const wchar_t* file, int line,
                  const wchar_t* text) {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const long long micros = now.QuadPart * 1000000 / frequency.QuadPart;

    if (json) {
        const std::string record = JsonRecord(event, micros, function, file, line, text);
        veska::CriticalSectionLock lock(lineLock);
        if (logFile) {
            Write(firstEvent ? record : ",\n" + record);
            firstEvent = false;
        }
        return;
    }
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

    veska::CriticalSectionLock lock(lineLock);
    if (logFile) Write(record);
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
        ::QueryPerformanceFrequency(&frequency);
        OpenLog();
    } else if (reason == DLL_PROCESS_DETACH) {
        if (logFile && json) Write("\n]\n");
        logFile.reset();
        if (reserved == nullptr) veska::FreeRuntimeArena();
    }
    return TRUE;
}
