#include "cli/EngineContext.h"

#include <cstdlib>

namespace {

void* Take(uint32_t size) {
    void* memory = std::malloc(size > 0 ? size : 1);
    if (!memory) throw ImageLib_MemoryError();
    return memory;
}

} // namespace

ImageLib_Handle EngineCallbacks::AllocateHandle(uint32_t size) { return Take(size); }
void EngineCallbacks::FreeHandle(ImageLib_Handle handle) { std::free(handle); }
void* EngineCallbacks::Allocate(uint32_t size) { return Take(size); }
void EngineCallbacks::Free(void* pointer) { std::free(pointer); }
