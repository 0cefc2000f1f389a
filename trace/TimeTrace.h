// Function-trace instrumentation: an optional timing sink (OxaTimeTrace.dll) that
// receives the entry into and the exit from traced methods.
//
// TimeTraceLoader decides once, while the library loads, whether tracing is on,
// and loads the sink; TimeTraceScope brackets one method. With no sink loaded a
// scope costs an inline test of the callback when it opens and another when it
// closes; the reports themselves are out of line.
#pragma once

#include <windows.h>

#include "support/Owners.h"

namespace veska {

enum TimeTraceEvent : int {
    kTimeTraceEnter = 1,
    kTimeTraceLeave = 2,
};

// The sink's entry point "OxaTimeTrace": event, function, source file, line, text.
using TimeTraceCallbackFn = void(__cdecl*)(int event, const wchar_t* function, const wchar_t* file,
                                           int line, const wchar_t* text);

// The sink's entry point, null while tracing is off. Written only while the
// library loads and unloads, when no method runs; read with plain loads.
extern TimeTraceCallbackFn TimeTraceCallback;

// The trace switch read by the loader; 0 keeps tracing off.
extern DWORD TimeTraceSwitch;

// The registry key of the trace switch, below HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kTimeTraceSwitchKey[] = L"Software\\Corvane Interactive\\Debug\\TimeTrace";

class TimeTraceLoader {
public:
    // Reads the switch for the component named by the folder that holds
    // sourcePath (the text between its last two backslashes); "All" overrides the
    // component's own value whenever it exists. A nonzero switch loads the sink.
    explicit TimeTraceLoader(const wchar_t* sourcePath) noexcept;
    // Frees the sink, if loaded, and clears the callback.
    ~TimeTraceLoader();
    TimeTraceLoader(const TimeTraceLoader&) = delete;
    TimeTraceLoader& operator=(const TimeTraceLoader&) = delete;

    HMODULE Library() const noexcept { return library_.get(); }

private:
    UniqueLibrary library_;
};

// Reports entry when made and exit when destroyed, also during unwinding.
class TimeTraceScope {
public:
    static constexpr int kTextCapacity = 128;

    // function and file must outlive the scope (they are literals); text may be
    // null and is copied, at most 128 characters, only when a sink is loaded.
    TimeTraceScope(const wchar_t* function, const wchar_t* file, int line,
                   const wchar_t* text = nullptr) noexcept
        : function_(function), file_(file), line_(line) {
        text_[0] = L'\0';
        if (__builtin_expect(TimeTraceCallback != nullptr, 0)) ReportEnter(text);
    }
    ~TimeTraceScope() {
        if (__builtin_expect(TimeTraceCallback != nullptr, 0)) ReportLeave();
    }
    TimeTraceScope(const TimeTraceScope&) = delete;
    TimeTraceScope& operator=(const TimeTraceScope&) = delete;

private:
    void ReportEnter(const wchar_t* text) noexcept;
    void ReportLeave() noexcept;

    const wchar_t* function_;
    const wchar_t* file_;
    wchar_t text_[kTextCapacity + 1];
    int line_;
};

}  // namespace veska

#define VESKA_WIDEN_(s) L##s
#define VESKA_WIDEN(s) VESKA_WIDEN_(s)

// Opens the trace scope of the enclosing method; it closes on every way out.
#define VESKA_TRACE_SCOPE(name) \
    ::veska::TimeTraceScope veska_trace_scope_(name, VESKA_WIDEN(__FILE__), __LINE__)
