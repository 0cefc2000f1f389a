// Where a cached value came from, kept in the reserved words of its own VARIANT.
//
// The cache stores only VT_I4, VT_BSTR and the scalar types a settings file
// names, never VT_DECIMAL (whose data covers those words), so the three words
// between the type tag and the data are free in every entry: an origin costs no
// memory, and reads never look at it. Whatever files or replaces an entry sets
// its origin last, after the VARIANT is complete. Copies handed out carry the
// words along, as the platform's copy copies them; every consumer ignores them.
//
// The registry key of a value follows from its node's place in the tree and the
// object's hive and Init path, and a settings file's path from the object's table
// of files, so the tag holds only a kind, one bit, an index into that table, the
// line of the value's element and the number of a type its text did not convert
// to (SettingsTypes.h).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>

namespace veska {

// The kinds of origin, numbered as the type library's VeskaOrigin.
enum class OriginKind : std::uint8_t {
    None = 0,
    Registry = 1,
    SettingsFile = 2,
    Written = 3,
    Persisted = 4,
    MachinePolicy = 5,  // locked (PolicyLayer.h)
    UserPolicy = 6,     // locked
};

struct ValueOrigin {
    OriginKind kind = OriginKind::None;
    // The value replaced one that Init read from the registry (directly, or
    // through a chain of replacements).
    bool replacedRegistry = false;
    // The settings file's row in the object's table (SettingsFile only).
    std::uint16_t file = 0;
    // The line of the value's element in that file; 0 where unknown or past
    // kLastOriginLine (SettingsFile only).
    std::uint16_t line = 0;
    // The settings type number (from 1) the file named and the text did not
    // convert to, so the value stayed text; 0 when it converted (SettingsFile
    // only).
    std::uint8_t unconverted = 0;

    // True when the registry had a value of this name at Init: a value that
    // replaces this one has replaced a registry value too.
    bool StandsForRegistry() const noexcept {
        return kind == OriginKind::Registry || replacedRegistry;
    }
};

// The largest file index a tag holds; later files of a larger table keep this one.
constexpr std::uint16_t kLastOriginFile = 0xFFFF;
// The last line a tag holds.
constexpr LONG kLastOriginLine = 0xFFFF;

// The first word: the kind in bits 0 to 2, the registry bit in bit 3, the
// unconverted type number in bits 4 to 8. The second the file, the third the line.
inline ValueOrigin OriginOf(const VARIANT& value) noexcept {
    const WORD word = value.wReserved1;
    ValueOrigin origin;
    origin.kind = static_cast<OriginKind>(word & 0x7);
    origin.replacedRegistry = (word & 0x8) != 0;
    origin.unconverted = static_cast<std::uint8_t>((word >> 4) & 0x1F);
    origin.file = value.wReserved2;
    origin.line = value.wReserved3;
    return origin;
}

inline void SetOrigin(VARIANT& value, const ValueOrigin& origin) noexcept {
    value.wReserved1 = static_cast<WORD>(static_cast<WORD>(origin.kind) |
                                         (origin.replacedRegistry ? 0x8 : 0) |
                                         ((origin.unconverted & 0x1F) << 4));
    value.wReserved2 = origin.file;
    value.wReserved3 = origin.line;
}

}  // namespace veska
