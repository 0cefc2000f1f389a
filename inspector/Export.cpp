#include "inspector/Export.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cwchar>

#include "inspector/Console.h"
#include "inspector/ValueText.h"
#include "support/Utf16Bytes.h"

namespace veskaopt {

namespace {

using Json = nlohmann::ordered_json;

Json JsonData(const VARIANT& value) {
    switch (value.vt) {
        case VT_BSTR: return Utf8(DataText(value));
        case VT_BOOL: return value.boolVal != VARIANT_FALSE;
        case VT_I1: return static_cast<int>(value.cVal);
        case VT_I2: return value.iVal;
        case VT_I4: return static_cast<std::int32_t>(value.lVal);
        case VT_INT: return value.intVal;
        case VT_UINT: return value.uintVal;
        case VT_I8: return static_cast<std::int64_t>(value.llVal);
        case VT_R4: return value.fltVal;
        case VT_R8: return value.dblVal;
        default: return Utf8(DataText(value));
    }
}

Json JsonKey(const KeyNode& node) {
    Json values = Json::object();
    for (const ValueNode& value : node.values) {
        values[Utf8(value.name)] = {{"type", Utf8(TypeName(value.data.vt()))},
                                    {"data", JsonData(*value.data.get())}};
    }
    Json keys = Json::object();
    for (const KeyNode& key : node.keys) keys[Utf8(key.name)] = JsonKey(key);
    return {{"values", std::move(values)}, {"keys", std::move(keys)}};
}

bool HasControl(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

// A quoted string of the registry file: backslash and double quote escaped.
std::wstring Quoted(const std::wstring& text) {
    std::wstring result = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"') result += L'\\';
        result += c;
    }
    return result + L"\"";
}

// "hex(<type>):xx,xx,..." wrapped as the registry editor wraps it: lines of at
// most 80 characters, continued with a backslash and two spaces.
std::wstring HexForm(const std::wstring& lead, DWORD type, const BYTE* data, size_t size) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"hex(%lx):", static_cast<unsigned long>(type));
    std::wstring result = lead + buffer;
    size_t column = result.size();
    for (size_t i = 0; i < size; ++i) {
        std::swprintf(buffer, 16, i + 1 < size ? L"%02x," : L"%02x", data[i]);
        if (column + 3 > 79 && i + 1 < size) {
            result += L"\\\r\n  ";
            column = 2;
        }
        result += buffer;
        column += 3;
    }
    return result;
}

std::wstring RegValueLine(const ValueNode& value) {
    if (HasControl(value.name)) {
        throw ToolError(kExitFailure, L"the value name \"" + value.name +
                                          L"\" holds a control character, which a registry file "
                                          L"cannot name (export it with --format json)");
    }
    const std::wstring lead = (value.name == L"(default)" ? L"@" : Quoted(value.name)) + L"=";
    const VARIANT& data = *value.data.get();
    wchar_t buffer[32];
    switch (data.vt) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_INT:
        case VT_UINT:
        case VT_BOOL: {
            VARIANT number;
            ::VariantInit(&number);
            ::VariantChangeType(&number, const_cast<VARIANT*>(&data), 0, VT_I4);
            if (data.vt == VT_UINT) number.lVal = static_cast<LONG>(data.uintVal);
            std::swprintf(buffer, 32, L"dword:%08lx", static_cast<unsigned long>(number.lVal));
            return lead + buffer;
        }
        case VT_I8: {
            BYTE bytes[8];
            for (int i = 0; i < 8; ++i) bytes[i] = static_cast<BYTE>(data.ullVal >> (8 * i));
            return HexForm(lead, REG_QWORD, bytes, sizeof(bytes));
        }
        default: {
            // Strings, and the types a registry value cannot hold (R4, R8,
            // DATE) as their text: plain where the text allows, else REG_SZ's
            // bytes with their terminating null.
            const std::wstring text = DataText(data);
            if (!HasControl(text)) return lead + Quoted(text);
            std::string bytes = veska::Utf16LeBytes(text);
            bytes.append(2, '\0');
            return HexForm(lead, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
        }
    }
}

void RegSections(const KeyNode& node, const std::wstring& path, std::wstring& out) {
    out += L"[" + path + L"]\r\n";
    for (const ValueNode& value : node.values) out += RegValueLine(value) + L"\r\n";
    out += L"\r\n";
    for (const KeyNode& key : node.keys) {
        if (HasControl(key.name) || key.name.find_first_of(L"[]") != std::wstring::npos) {
            throw ToolError(kExitFailure, L"the key name \"" + key.name +
                                              L"\" cannot be written to a registry file "
                                              L"(export it with --format json)");
        }
        RegSections(key, path + L"\\" + key.name, out);
    }
}

}  // namespace

std::string ExportJson(const KeyNode& tree, const std::wstring& hiveName,
                       const std::wstring& root) {
    Json document = {{"hive", Utf8(hiveName)}, {"root", Utf8(root)}};
    Json body = JsonKey(tree);
    document["values"] = std::move(body["values"]);
    document["keys"] = std::move(body["keys"]);
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::wstring ExportReg(const KeyNode& tree, const std::wstring& root) {
    std::wstring out = L"Windows Registry Editor Version 5.00\r\n\r\n";
    RegSections(tree, root.empty() ? L"HKEY_CURRENT_USER" : L"HKEY_CURRENT_USER\\" + root, out);
    return out;
}

}  // namespace veskaopt
