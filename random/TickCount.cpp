#include "random/TickCount.h"

#if defined(_WIN32)
#include <windows.h>
uint32_t TickCount() { return GetTickCount(); }
#else
#include <chrono>
uint32_t TickCount() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}
#endif
