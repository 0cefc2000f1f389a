#include "options/SettingsTypes.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "support/Folding.h"
#include "support/HresultText.h"

namespace veska {

namespace {

struct SettingsType {
    const wchar_t* name;
    VARTYPE type;
    const wchar_t* takes;  // what its text may be, as the conversion reads it
};

constexpr wchar_t kInt8[] = L"a whole number from -128 to 127";
constexpr wchar_t kInt16[] = L"a whole number from -32768 to 32767";
constexpr wchar_t kInt32[] = L"a whole number from -2147483648 to 2147483647";
constexpr wchar_t kInt64[] = L"a whole number from -9223372036854775808 to 9223372036854775807";

// Compared in this order. The unsigned names give the signed tags of their size,
// except "UINT", and so take the signed ranges.
constexpr SettingsType kTypes[] = {
    {L"BOOL", VT_BOOL,
     L"True or False (in any letter case), or a number: 0 for False, any other for True"},
    {L"I1", VT_I1, kInt8},
    {L"I2", VT_I2, kInt16},
    {L"I8", VT_I8, kInt64},
    {L"INT", VT_INT, kInt32},
    {L"UI1", VT_I1, L"a whole number from -128 to 127 (it is stored signed)"},
    {L"UI2", VT_I2, L"a whole number from -32768 to 32767 (it is stored signed)"},
    {L"UI4", VT_I4, L"a whole number from -2147483648 to 2147483647 (it is stored signed)"},
    {L"UI8", VT_I8,
     L"a whole number from -9223372036854775808 to 9223372036854775807 (it is stored signed)"},
    {L"UINT", VT_UINT, L"a whole number from 0 to 4294967295"},
    {L"R4", VT_R4,
     L"a number such as 1.5 or -2.5E-3, with the user's decimal separator, up to about 3.4E38"},
    {L"R8", VT_R8,
     L"a number such as 1.5 or -2.5E-3, with the user's decimal separator, up to about 1.8E308"},
    {L"DATE", VT_DATE,
     L"a date such as 2026-12-31, or a date and time such as 2026-12-31 14:30:00"},
    {L"I4", VT_I4, kInt32},
    {L"NUMBER", VT_I4, kInt32},
    {L"BSTR", VT_BSTR, L"any text"},
    {L"STRING", VT_BSTR, L"any text"},
};
constexpr std::uint8_t kTypeCount = static_cast<std::uint8_t>(std::size(kTypes));
static_assert(kTypeCount < 32, "a value's origin keeps the type number in five bits");

// Names other systems give these types, folded, without spaces, "_" or "-".
struct OtherName {
    const wchar_t* word;
    const wchar_t* types[2];
};
constexpr OtherName kOtherNames[] = {
    {L"float", {L"R4", L"R8"}},     {L"single", {L"R4"}},         {L"double", {L"R8"}},
    {L"real", {L"R4", L"R8"}},      {L"decimal", {L"R8"}},        {L"integer", {L"I4"}},
    {L"int32", {L"I4"}},            {L"long", {L"I4"}},           {L"dword", {L"I4"}},
    {L"int16", {L"I2"}},            {L"short", {L"I2"}},          {L"word", {L"I2"}},
    {L"int8", {L"I1"}},             {L"char", {L"I1"}},           {L"byte", {L"I1", L"UI1"}},
    {L"int64", {L"I8"}},            {L"longlong", {L"I8"}},       {L"qword", {L"I8"}},
    {L"uint8", {L"UI1"}},           {L"uint16", {L"UI2"}},        {L"ushort", {L"UI2"}},
    {L"uint32", {L"UI4", L"UINT"}}, {L"ulong", {L"UI4", L"UINT"}}, {L"unsigned", {L"UINT"}},
    {L"uint64", {L"UI8"}},          {L"boolean", {L"BOOL"}},      {L"bit", {L"BOOL"}},
    {L"logical", {L"BOOL"}},        {L"text", {L"STRING"}},       {L"str", {L"STRING"}},
    {L"sz", {L"STRING"}},           {L"wstring", {L"STRING"}},    {L"datetime", {L"DATE"}},
    {L"time", {L"DATE"}},           {L"timestamp", {L"DATE"}},    {L"num", {L"NUMBER"}},
    {L"numeric", {L"NUMBER", L"R8"}},
};

// name folded to lower case, without blanks, "_" and "-", and without a
// leading "vt" or "reg" (as in VT_BOOL or REG_DWORD).
std::wstring Simplified(std::wstring_view name) {
    std::wstring text;
    for (const wchar_t c : name) {
        if (c != L' ' && c != L'\t' && c != L'_' && c != L'-') text += FoldUnit(c);
    }
    for (const std::wstring_view prefix : {std::wstring_view(L"vt"), std::wstring_view(L"reg")}) {
        if (text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0) {
            const std::wstring rest = text.substr(prefix.size());
            const bool known =
                SettingsTypeNumber(rest.c_str()) != 0 ||
                std::any_of(std::begin(kOtherNames), std::end(kOtherNames),
                            [&](const OtherName& other) { return rest == other.word; });
            if (known) return rest;
        }
    }
    return text;
}

// The edit distance of a and b, a swap of neighbours counting one.
std::size_t Distance(std::wstring_view a, std::wstring_view b) {
    std::vector<std::size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) last[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        before.swap(last);
        last.swap(row);
    }
    return last[b.size()];
}

// The type names name comes close to: another system's name for them, or the
// names within a slip or two of the keys, in alphabetical order.
std::vector<std::wstring_view> CloseNames(std::wstring_view name) {
    const std::wstring simple = Simplified(name);
    std::vector<std::wstring_view> close;
    if (simple.empty()) return close;
    if (const std::uint8_t number = SettingsTypeNumber(simple.c_str())) {
        close.push_back(SettingsTypeName(number));
        return close;
    }
    for (const OtherName& other : kOtherNames) {
        if (simple != other.word) continue;
        for (const wchar_t* type : other.types) {
            if (type != nullptr) close.push_back(type);
        }
        return close;
    }
    // Typing slips: one for names of up to three letters, two for longer ones.
    std::size_t best = 3;
    for (const SettingsType& type : kTypes) {
        std::wstring folded(type.name);
        for (wchar_t& c : folded) c = FoldUnit(c);
        const std::size_t allowed = std::min(simple.size(), folded.size()) <= 3 ? 1 : 2;
        const std::size_t distance = Distance(simple, folded);
        if (distance > allowed || distance > best) continue;
        if (distance < best) close.clear();
        best = distance;
        close.push_back(type.name);
    }
    std::sort(close.begin(), close.end());
    return close;
}

// "a, b or c".
std::wstring Listed(const std::vector<std::wstring_view>& names) {
    std::wstring text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) text += i + 1 == names.size() ? L" or " : L", ";
        text += names[i];
    }
    return text;
}

std::wstring Quoted(std::wstring_view text) {
    std::wstring quoted = L"\"";
    quoted.append(text);
    return quoted + L'"';
}

}  // namespace

std::uint8_t SettingsTypeNumber(const wchar_t* name) noexcept {
    if (name == nullptr) return 0;
    for (std::uint8_t i = 0; i < kTypeCount; ++i) {
        if (CompareFolded(name, kTypes[i].name) == 0) return static_cast<std::uint8_t>(i + 1);
    }
    return 0;
}

VARTYPE ValueTypeFromName(const wchar_t* name) noexcept {
    const std::uint8_t number = SettingsTypeNumber(name);
    return number != 0 ? kTypes[number - 1].type : VARTYPE(0);
}

std::wstring_view SettingsTypeName(std::uint8_t number) noexcept {
    if (number == 0 || number > kTypeCount) return {};
    return kTypes[number - 1].name;
}

std::wstring ConversionFailure(std::wstring_view text, std::uint8_t number, HRESULT hr) {
    const std::wstring_view name = SettingsTypeName(number);
    if (name.empty())
        return Quoted(text) + L" could not be converted (" + DescribeHresult(hr) + L")";
    const std::wstring takes = std::wstring(name) + L" takes " + kTypes[number - 1].takes;
    if (hr == DISP_E_OVERFLOW)
        return Quoted(text) + L" is out of range for " + std::wstring(name) + L": " + takes;
    if (hr == DISP_E_TYPEMISMATCH) {
        // "an I4", "an R8", "a BOOL", "a UINT": as the name is spoken.
        const bool vowel = name.front() == L'I' || name.front() == L'R';
        return Quoted(text) + (vowel ? L" is not an " : L" is not a ") + std::wstring(name) +
               L": " + takes;
    }
    return Quoted(text) + L" could not be converted to " + std::wstring(name) + L" (" +
           DescribeHresult(hr) + L")";
}

std::wstring UnknownTypeMessage(std::wstring_view name) {
    const std::vector<std::wstring_view> close = CloseNames(name);
    if (!close.empty())
        return L"Type " + Quoted(name) + L" is unknown; did you mean " + Listed(close) + L"?";
    return L"Type " + Quoted(name) + L" is unknown; the types are " + EveryTypeName();
}

std::wstring EveryTypeName() {
    std::vector<std::wstring_view> names;
    for (const SettingsType& type : kTypes) names.push_back(type.name);
    return Listed(names);
}

}  // namespace veska
