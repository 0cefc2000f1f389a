// Text in and out of veskaopt: UTF-8 on the outside (the command line as CLI11
// sees it, standard output and error), UTF-16 inside, as the platform and the
// options store speak it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace veskaopt {

// Exit statuses, as documented in --help and the README.
enum ExitStatus : int {
    kExitOk = 0,
    kExitCheckFailed = 1,  // check: a settings file would fail or be refused
    kExitUsage = 2,        // the command line or a value given on it is wrong
    kExitFailure = 3,      // a component, registry or file call failed
    kExitNotFound = 4,     // ROOT, PATH, NAME, or a file or folder, does not exist
};

// A failure that ends the command: printed on standard error as
// "veskaopt: <message>[: 0x<hr> <system text>]", then the status is returned.
class ToolError {
public:
    ToolError(int status, std::wstring message, HRESULT hr = S_OK)
        : status_(status), message_(std::move(message)), hr_(hr) {}
    int Status() const noexcept { return status_; }
    const std::wstring& Message() const noexcept { return message_; }
    HRESULT Code() const noexcept { return hr_; }

private:
    int status_;
    std::wstring message_;
    HRESULT hr_;
};

// Throws ToolError(kExitFailure, what, hr) for a failure code.
void ThrowIfFailed(HRESULT hr, std::wstring_view what);

// UTF-16 to UTF-8 and back. Unpaired surrogates become U+FFFD; invalid UTF-8
// becomes U+FFFD the other way.
std::string Utf8(std::wstring_view text);
std::wstring Wide(std::string_view text);

// The process's own command line, split as the platform splits it, in UTF-8.
std::vector<std::string> Utf8Arguments();

// Writes UTF-8 text to standard output or error: as wide text to a console,
// as the bytes themselves to a file or pipe (no line-end translation).
void Out(std::string_view text);
void Err(std::string_view text);
void Out(std::wstring_view text);
void Err(std::wstring_view text);

// Writes bytes unchanged to standard output.
bool OutBytes(const void* data, size_t size);

// "0x80004005 Unspecified error": the code and its text, the platform's or,
// where it has none, our own (support/HresultText.h).
std::wstring DescribeHresult(HRESULT hr);

// Prints "veskaopt: note: <text>" on standard error.
void Note(std::wstring_view text);

}  // namespace veskaopt
