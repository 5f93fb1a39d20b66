// The host's services and images as ImageLib sees them.
//
// `Vantor_Callbacks` gives the library host memory handles, progress,
// cancellation and the host's parallel iteration; `Vantor_ImageAccess` maps
// a host image (a layer or the output) in the host's own memory. Both exist
// only between `AcquireGlobalHostObjects` and the matching release, which a
// render brackets with `GlobalHostObjectsScope`; nested scopes share one set.
#pragma once

#include "imagelib/core/ImageLib_Callbacks.h"
#include "imagelib/core/ImageLib_ComputeNode.h"
#include "imagelib/core/ImageLib_ImageAccess.h"
#include "interface/HostInterface.h"

#include <cstdint>

class Vantor_Callbacks : public ImageLib_Callbacks {
public:
    Vantor_Callbacks();

    ImageLib_Handle AllocateHandle(uint32_t size) override;
    void* LockHandle(ImageLib_Handle handle) override;
    void UnlockHandle(ImageLib_Handle handle) override;
    void FreeHandle(ImageLib_Handle handle) override;
    void* Allocate(uint32_t size) override;
    void Free(void* pointer) override;
    void CheckAbort() override;
    void ReportProgress(float fraction) override;
    // Through the host's iteration service when there is one (never on HOSD);
    // a failure on a worker runs the whole iteration again serially here, where
    // it surfaces as an exception.
    void Iterate(ImageLib_IterateFunction function, int32_t count, void* context) override;

    // Bytes held in host handles by the library, and their peak, module-wide.
    static uint32_t currentBytes;
    static uint32_t peakBytes;
};

class Vantor_ImageAccess : public ImageLib_ImageAccess {
public:
    // An owning access returns the image to the host when it dies.
    Vantor_ImageAccess(HostImage* image, bool owned);
    ~Vantor_ImageAccess() override;

protected:
    // Maps straight into the host's pixels; checks for cancellation each time.
    void MapRegion(const ImageLib_Rect& region, ImageLib_AccessMode mode) override;
    void CommitRegion() override {}

private:
    HostImage* image_;
    uint8_t* pixels_;
    int32_t rowBytes_;
    bool owned_;
};

ImageLib_PixelFormat HostImageFormat(const HostImage& image);

void AcquireGlobalHostObjects();
void ReleaseGlobalHostObjects();

class GlobalHostObjectsScope {
public:
    GlobalHostObjectsScope() { AcquireGlobalHostObjects(); }
    ~GlobalHostObjectsScope() { ReleaseGlobalHostObjects(); }
    GlobalHostObjectsScope(const GlobalHostObjectsScope&) = delete;
    GlobalHostObjectsScope& operator=(const GlobalHostObjectsScope&) = delete;
};

// Evaluates `node` into the call's output image over its extent, in
// whole-width bands of about 128K pixels (at least 32 rows).
void EvaluateIntoOutput(ImageLib_ComputeNode& node);
// Rows per band for a region `width` pixels wide.
int32_t BandRows(int32_t width);
// Tests and benchmarks of the library may force another band height (0 restores
// the default) to show that the result does not depend on it; the host never can.
void SetBandRowsOverride(int32_t rows);
