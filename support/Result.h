// HRESULT plumbing shared by the whole library.
//
// Inside the library failures travel as HRESULTs through early returns. Code that
// can throw (allocation, a failing copy turned into HResultError) runs inside
// ComBoundary at each COM method, so no C++ exception ever leaves through an
// interface: by the time the catch runs, every owner on the way (lock modes, trace
// scopes, BSTRs, VARIANTs, keys) has released its resource.
#pragma once

#include <windows.h>

#include <new>
#include <type_traits>

namespace veska {

// A failure that cannot be returned where it happens, carried to the COM boundary.
class HResultError {
public:
    explicit HResultError(HRESULT hr) noexcept : hr_(hr) {}
    HRESULT Code() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

// Throws HResultError for a failure code; the argument is evaluated once.
inline void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw HResultError(hr);
}

// Throws E_OUTOFMEMORY when an allocation handed back null.
template <class T>
T* ThrowIfNull(T* p) {
    if (p == nullptr) throw HResultError(E_OUTOFMEMORY);
    return p;
}

// Runs body() and turns an escaping exception into its HRESULT.
template <class Body>
HRESULT ComBoundary(Body&& body) noexcept {
    static_assert(std::is_same_v<decltype(body()), HRESULT>, "the body must return an HRESULT");
    try {
        return body();
    } catch (const HResultError& e) {
        return e.Code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

namespace detail {
// Refuses anything but an HRESULT, so a BOOL or LSTATUS cannot slip into the macros.
template <class T>
constexpr HRESULT VerifyHr(T hr) noexcept {
    static_assert(std::is_same_v<T, HRESULT>, "expected an HRESULT");
    return hr;
}
// Refuses anything but a Win32 code (LONG, LSTATUS, DWORD), so a BOOL or a plain
// int cannot be read as one. (HRESULT is a LONG too, so that mix-up stays
// possible; the names at the call say which is meant.)
template <class T>
constexpr LONG VerifyWin32(T code) noexcept {
    static_assert(std::is_same_v<T, LONG> || std::is_same_v<T, DWORD>, "expected a Win32 error code");
    return static_cast<LONG>(code);
}
}  // namespace detail

}  // namespace veska

// Returns the HRESULT when it is a failure.
#define RETURN_IF_FAILED(expr)                                        \
    do {                                                              \
        const HRESULT veska_hr_ = ::veska::detail::VerifyHr((expr));  \
        if (FAILED(veska_hr_)) return veska_hr_;                      \
    } while (0)

// Returns hr when the condition holds.
#define RETURN_HR_IF(hr, cond)                                        \
    do {                                                              \
        if (cond) return ::veska::detail::VerifyHr((hr));             \
    } while (0)

// Returns hr when the pointer is null.
#define RETURN_HR_IF_NULL(hr, ptr) RETURN_HR_IF(hr, (ptr) == nullptr)

// Returns HRESULT_FROM_WIN32 of a registry or Win32 error code that is not 0.
#define RETURN_IF_WIN32_ERROR(expr)                                   \
    do {                                                              \
        const LONG veska_err_ = ::veska::detail::VerifyWin32((expr)); \
        if (veska_err_ != ERROR_SUCCESS) return HRESULT_FROM_WIN32(veska_err_); \
    } while (0)
