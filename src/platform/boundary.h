// The one place where exceptions become status codes. Every interface method whose body can
// throw runs that body through StatusOf, so no C++ exception ever leaves an interface method and
// every method reports failures alike.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "platform/hresult.h"

// Runs `body` and returns its status: the HRESULT it returns (S_OK when it returns nothing), the
// code an HResultError carries, E_OUTOFMEMORY for an allocation failure, E_FAIL for anything
// else.
//
//     HRESULT CThing::put_Name(BSTR name) {
//         return StatusOf([&] { name_ = ToString(name); });
//     }
template <class Body>
HRESULT StatusOf(Body&& body) noexcept {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
            std::forward<Body>(body)();
            return S_OK;
        } else {
            return std::forward<Body>(body)();
        }
    } catch (const HResultError& e) {
        return e.code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}
