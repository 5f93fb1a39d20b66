// The two failures of the shell. Both unwind to `main`, which turns them into
// host codes: a `VT_Exit_Exception` returns its code unchanged; a
// `MemoryError` (the host refused) or a `std::bad_alloc` (the plain heap
// refused) returns 4 with "Out of memory.".
#pragma once

#include "imagelib/core/ImageLib_Callbacks.h"

#include <cstdint>
#include <exception>

struct VT_Exit_Exception : std::exception {
    explicit VT_Exit_Exception(int32_t errorCode) : code(errorCode) {}
    const char* what() const noexcept override { return "host error"; }
    int32_t code;
};

// Host memory could not be had. ImageLib raises its base type itself for sizes
// that cannot be represented, so handlers catch `ImageLib_MemoryError`.
class MemoryError : public ImageLib_MemoryError {};

enum : int32_t {
    kErrorNone = 0,
    kErrorOutOfMemory = 4,
    kErrorInternal = 512,
};

enum : uint32_t {
    kOutFlagShowMessage = 0x100,
    kOutFlagsParamChanged = 0x00020000,
};
