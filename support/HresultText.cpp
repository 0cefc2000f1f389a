#include "support/HresultText.h"

#include <cwchar>

#include "contracts/XmlData.h"

namespace veska {

namespace {

struct OwnText {
    HRESULT code;
    const wchar_t* text;
};

// Codes that reach our messages and that the platform may have no text for.
constexpr OwnText kOwnTexts[] = {
    {DISP_E_TYPEMISMATCH, L"Type mismatch: the value does not convert to the type asked for"},
    {DISP_E_OVERFLOW, L"Out of range: the value is too large or too small for the type asked for"},
    {DISP_E_BADVARTYPE, L"Bad variant type: the call does not take a value of this type"},
    {DISP_E_MEMBERNOTFOUND,
     L"Member not found: the object has no such member for this kind of call"},
    {DISP_E_UNKNOWNNAME, L"Unknown name: the object has no member of that name"},
    {DISP_E_BADPARAMCOUNT, L"Wrong number of arguments for the member"},
    {DISP_E_PARAMNOTFOUND, L"An argument is missing or has an unknown name"},
    {DISP_E_EXCEPTION, L"The member failed and described the failure in an exception"},
    {REGDB_E_CLASSNOTREG, L"Class not registered: register the component's DLL with regsvr32"},
    {CO_E_CLASSSTRING, L"Invalid class string: no class is registered under that name"},
    {static_cast<HRESULT>(0xC00CE225), L"The document does not match its schema"},
    {XMLDATA_E_DTD_PROHIBITED, L"The document holds a document type definition, which is refused"},
    {XMLDATA_E_UNSUPPORTED_ENCODING, L"The document's encoding is not supported"},
    {XMLDATA_E_NOT_LOADED, L"No document is loaded"},
    {XMLDATA_E_PARSE, L"The document is not well-formed XML"},
};

std::wstring SystemText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", text != nullptr ? length : 0);
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    return message;
}

}  // namespace

std::wstring HresultText(HRESULT hr) {
    std::wstring message = SystemText(static_cast<DWORD>(hr));
    // Some systems keep texts for Win32 codes only.
    if (message.empty() && HRESULT_FACILITY(hr) == FACILITY_WIN32) {
        message = SystemText(HRESULT_CODE(hr));
    }
    if (!message.empty()) return message;
    for (const OwnText& own : kOwnTexts) {
        if (own.code == hr) return own.text;
    }
    return message;
}

std::wstring DescribeHresult(HRESULT hr) {
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    std::wstring text = HresultText(hr);
    if (text.empty()) text = L"(an error code without a description on this system)";
    return std::wstring(code) + L" " + text;
}

}  // namespace veska
