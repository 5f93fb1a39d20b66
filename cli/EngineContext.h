// The grain engine run inside the command, outside any host: plain memory,
// loops on the calling thread, no progress and no cancellation. Reports use
// it to measure a plate exactly as the module does.
#pragma once

#include "imagelib/core/ImageLib_Callbacks.h"

class EngineCallbacks : public ImageLib_Callbacks {
public:
    ImageLib_Handle AllocateHandle(uint32_t size) override;
    void* LockHandle(ImageLib_Handle handle) override { return handle; }
    void UnlockHandle(ImageLib_Handle) override {}
    void FreeHandle(ImageLib_Handle handle) override;
    void* Allocate(uint32_t size) override;
    void Free(void* pointer) override;
    void CheckAbort() override {}
    void ReportProgress(float) override {}
};
