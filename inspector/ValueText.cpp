#include "inspector/ValueText.h"

#include <cwchar>

#include "inspector/Console.h"

namespace veskaopt {

namespace {

// The settings files' type names, in the merge's order of lookup, with the
// VARIANT type each gives. The first name of a type is the one printed.
struct TypeEntry {
    const wchar_t* name;
    VARTYPE type;
};
const TypeEntry kTypes[] = {
    {L"BOOL", VT_BOOL},   {L"I1", VT_I1},     {L"I2", VT_I2},     {L"I8", VT_I8},
    {L"INT", VT_INT},     {L"UI1", VT_I1},    {L"UI2", VT_I2},    {L"UI4", VT_I4},
    {L"UI8", VT_I8},      {L"UINT", VT_UINT}, {L"R4", VT_R4},     {L"R8", VT_R8},
    {L"DATE", VT_DATE},   {L"I4", VT_I4},     {L"NUMBER", VT_I4}, {L"BSTR", VT_BSTR},
    {L"STRING", VT_BSTR},
};

// The name printed for each type: the plain one, not the merge's aliases.
const TypeEntry kPrinted[] = {
    {L"STRING", VT_BSTR}, {L"I4", VT_I4}, {L"BOOL", VT_BOOL}, {L"I1", VT_I1},
    {L"I2", VT_I2},       {L"I8", VT_I8}, {L"INT", VT_INT},   {L"UINT", VT_UINT},
    {L"R4", VT_R4},       {L"R8", VT_R8}, {L"DATE", VT_DATE},
};

}  // namespace

std::wstring TypeName(VARTYPE type) {
    for (const TypeEntry& entry : kPrinted) {
        if (entry.type == type) return entry.name;
    }
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"VT_%u", static_cast<unsigned>(type));
    return buffer;
}

std::wstring DataText(const VARIANT& value) {
    if (value.vt == VT_BSTR) {
        return value.bstrVal ? std::wstring(value.bstrVal, ::SysStringLen(value.bstrVal))
                             : std::wstring();
    }
    if (value.vt == VT_BOOL) return value.boolVal ? L"True" : L"False";
    veska::UniqueVariant text;
    if (FAILED(::VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0,
                                     VT_BSTR))) {
        return L"?";
    }
    return std::wstring(V_BSTR(text.get()), ::SysStringLen(V_BSTR(text.get())));
}

std::wstring Escaped(const std::wstring& text) {
    std::wstring result;
    for (wchar_t c : text) {
        if (c == L'\n') {
            result += L"\\n";
        } else if (c == L'\r') {
            result += L"\\r";
        } else if (c == L'\t') {
            result += L"\\t";
        } else if (c < 0x20 || c == 0x7F) {
            wchar_t buffer[8];
            std::swprintf(buffer, 8, L"\\x%02X", static_cast<unsigned>(c));
            result += buffer;
        } else {
            result += c;
        }
    }
    return result;
}

std::wstring DisplayText(const VARIANT& value) {
    const std::wstring text = DataText(value);
    return value.vt == VT_BSTR ? L"\"" + Escaped(text) + L"\"" : text;
}

VARTYPE TypeOfName(const std::wstring& typeName) {
    for (const TypeEntry& entry : kTypes) {
        if (::CompareStringOrdinal(entry.name, -1, typeName.c_str(), -1, TRUE) == CSTR_EQUAL) {
            return entry.type;
        }
    }
    return VT_EMPTY;
}

veska::UniqueVariant ValueFromText(const std::wstring& text, const std::wstring& typeName) {
    const VARTYPE type = TypeOfName(typeName);
    if (type == VT_EMPTY) {
        throw ToolError(kExitUsage,
                        L"unknown type \"" + typeName +
                            L"\" (STRING, I4, BOOL, I1, I2, I8, INT, UINT, R4, R8, DATE)");
    }
    veska::UniqueVariant result;
    VARIANT& v = *result.get();
    v.vt = VT_BSTR;
    v.bstrVal = veska::CopyBstr(text.c_str(), static_cast<UINT>(text.size())).detach();
    if (type != VT_BSTR) {
        const HRESULT hr = ::VariantChangeTypeEx(&v, &v, LOCALE_INVARIANT, 0, type);
        if (FAILED(hr)) {
            throw ToolError(kExitUsage,
                            L"VALUE \"" + text + L"\" cannot be converted to " + typeName, hr);
        }
    }
    return result;
}

}  // namespace veskaopt
