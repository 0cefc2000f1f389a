#include "inspector/Console.h"

#include <shellapi.h>

#include <algorithm>
#include <cwchar>

#include "support/HresultText.h"

namespace veskaopt {

namespace {

void Write(DWORD which, std::string_view text) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        const std::wstring wide = Wide(text);
        DWORD written = 0;
        ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
        if (!::WriteFile(handle, text.data() + done, chunk, &written, nullptr) || written == 0)
            return;
        done += written;
    }
}

}  // namespace

void ThrowIfFailed(HRESULT hr, std::wstring_view what) {
    if (FAILED(hr)) throw ToolError(kExitFailure, std::wstring(what), hr);
}

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                          length, nullptr, nullptr);
    return result;
}

std::wstring Wide(std::string_view text) {
    if (text.empty()) return {};
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                          length);
    return result;
}

std::vector<std::string> Utf8Arguments() {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> result;
    if (arguments == nullptr) return result;
    for (int i = 0; i < count; ++i) result.push_back(Utf8(arguments[i]));
    ::LocalFree(arguments);
    return result;
}

void Out(std::string_view text) { Write(STD_OUTPUT_HANDLE, text); }
void Err(std::string_view text) { Write(STD_ERROR_HANDLE, text); }
void Out(std::wstring_view text) { Out(Utf8(text)); }
void Err(std::wstring_view text) { Err(Utf8(text)); }

bool OutBytes(const void* data, size_t size) {
    const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
        if (!::WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

std::wstring DescribeHresult(HRESULT hr) { return veska::DescribeHresult(hr); }

void Note(std::wstring_view text) { Err(L"veskaopt: note: " + std::wstring(text) + L"\n"); }

}  // namespace veskaopt
