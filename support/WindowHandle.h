// Window handles passed as numbers. A window handle's value fits in 32 bits on
// both architectures, so 32- and 64-bit processes name one window alike when the
// number is its low 32 bits, sign-extended; every number that stands for a window
// is read and written that way.
#pragma once

#include <windows.h>

namespace veska {

// The window a number stands for: its low 32 bits, sign-extended.
inline HWND WindowFromNumber(LONGLONG number) noexcept {
    return reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<LONG>(number)));
}

// The number that stands for window: its low 32 bits, sign-extended.
inline LONGLONG NumberFromWindow(HWND window) noexcept {
    return static_cast<LONG>(reinterpret_cast<LONG_PTR>(window));
}

}  // namespace veska
