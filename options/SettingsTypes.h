// The value types of settings files: the names a "Type" attribute may give, the
// VARIANT type each converts its text to, and the words that tell an
// administrator what a type takes and which type a wrong name was meant to be.
#pragma once

#include <oaidl.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace veska {

// The VARIANT type tag of a settings "Type" name, compared without regard to the
// case of A to Z; 0 for a null or unknown name.
VARTYPE ValueTypeFromName(const wchar_t* name) noexcept;

// The number of a type name in the table (from 1), 0 for a null or unknown
// name; small enough for the five bits a value's origin keeps it in.
std::uint8_t SettingsTypeNumber(const wchar_t* name) noexcept;

// The name of type number `number` as the table spells it ("BOOL"); empty for 0
// or a number past the table.
std::wstring_view SettingsTypeName(std::uint8_t number) noexcept;

// Why text does not convert to type number `number`: hr is the conversion's
// failure (DISP_E_OVERFLOW for a number out of range). For example
// "\"yes\" is not a BOOL: BOOL takes True or False ...".
std::wstring ConversionFailure(std::wstring_view text, std::uint8_t number, HRESULT hr);

// Why name is no type: the types it comes close to ("Type \"Float\" is unknown;
// did you mean R4 or R8?"), or every type when it is close to none.
std::wstring UnknownTypeMessage(std::wstring_view name);

// "BOOL, I1, ... or STRING": every type name, in the table's order.
std::wstring EveryTypeName();

}  // namespace veska
