#include "HostAdapter.h"

#include "CallContext.h"
#include "ShellErrors.h"
#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_Pipeline.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

uint32_t Vantor_Callbacks::currentBytes = 0;
uint32_t Vantor_Callbacks::peakBytes = 0;

Vantor_Callbacks::Vantor_Callbacks() {
    currentBytes = 0;
    peakBytes = 0;
}

ImageLib_Handle Vantor_Callbacks::AllocateHandle(uint32_t size) {
    HostHandle handle = HostUtils().newHandle(HostRef(), size);
    if (!handle) throw MemoryError();
    currentBytes += size;
    peakBytes = std::max(peakBytes, currentBytes);
    return handle;
}

void* Vantor_Callbacks::LockHandle(ImageLib_Handle handle) {
    return HostUtils().lockHandle(HostRef(), static_cast<HostHandle>(handle));
}

void Vantor_Callbacks::UnlockHandle(ImageLib_Handle handle) {
    HostUtils().unlockHandle(HostRef(), static_cast<HostHandle>(handle));
}

void Vantor_Callbacks::FreeHandle(ImageLib_Handle handle) {
    const uint64_t size = HostUtils().handleSize(HostRef(), static_cast<HostHandle>(handle));
    currentBytes = size > currentBytes ? 0 : currentBytes - static_cast<uint32_t>(size);
    HostUtils().disposeHandle(HostRef(), static_cast<HostHandle>(handle));
}

void* Vantor_Callbacks::Allocate(uint32_t size) {
    // The handle travels in front of the block; a size that leaves no room for it cannot be served.
    if (size > std::numeric_limits<uint32_t>::max() - sizeof(HostHandle)) throw MemoryError();
    ImageLib_Handle handle = AllocateHandle(size + static_cast<uint32_t>(sizeof(HostHandle)));
    uint8_t* block = static_cast<uint8_t*>(LockHandle(handle));
    if (!block) {
        FreeHandle(handle);
        throw MemoryError();
    }
    std::memcpy(block, &handle, sizeof handle);
    return block + sizeof(HostHandle);
}

void Vantor_Callbacks::Free(void* pointer) {
    if (!pointer) return;
    ImageLib_Handle handle;
    std::memcpy(&handle, static_cast<uint8_t*>(pointer) - sizeof(HostHandle), sizeof handle);
    UnlockHandle(handle);
    FreeHandle(handle);
}

void Vantor_Callbacks::CheckAbort() {
    if (const int32_t code = gCall.in->abort(HostRef())) throw VT_Exit_Exception(code);
}

void Vantor_Callbacks::ReportProgress(float fraction) {
    const int32_t done = static_cast<int32_t>(fraction * 10000.0f);
    if (const int32_t code = gCall.in->progress(HostRef(), done, 10000)) throw VT_Exit_Exception(code);
}

namespace {

struct IterateContext {
    void* data;
    ImageLib_IterateFunction function;
};

int32_t IterateTrampoline(void* context, int32_t thread, int32_t index, int32_t count) {
    const IterateContext& work = *static_cast<const IterateContext*>(context);
    ImageLib_NoteWorkerThread(thread);
    try {
        work.function(work.data, index, count);
        return 0;
    } catch (...) {
        return kErrorInternal;
    }
}

} // namespace

void Vantor_Callbacks::Iterate(ImageLib_IterateFunction function, int32_t count, void* context) {
    if (count <= 0) return;
    const auto service = HostUtils().iterate;
    if (service && gCall.in->appId != kHostAppD) {
        IterateContext work{context, function};
        if (service(HostRef(), count, &work, IterateTrampoline) == 0) return;
    }
    ImageLib_Callbacks::Iterate(function, count, context);
}

ImageLib_PixelFormat HostImageFormat(const HostImage& image) {
    return (image.flags & kHostImageDeep) ? ImageLib_HostFormat16() : ImageLib_HostFormat8();
}

Vantor_ImageAccess::Vantor_ImageAccess(HostImage* image, bool owned)
    : ImageLib_ImageAccess(HostImageFormat(*image), {0, 0, image->width, image->height, false}), image_(image),
      pixels_(image->pixels), rowBytes_(image->rowBytes), owned_(owned) {}

Vantor_ImageAccess::~Vantor_ImageAccess() {
    if (owned_) HostUtils().disposeImage(HostRef(), image_);
}

void Vantor_ImageAccess::MapRegion(const ImageLib_Rect& mapped, ImageLib_AccessMode) {
    uint8_t* first = pixels_ + static_cast<intptr_t>(mapped.x0) * format.bytesPerPixel +
                     static_cast<intptr_t>(mapped.y0) * rowBytes_;
    SetMapping(first, rowBytes_, static_cast<uint32_t>(mapped.Width()) * format.bytesPerPixel);
    if (const int32_t code = gCall.in->abort(HostRef())) throw VT_Exit_Exception(code);
}

namespace {

struct GlobalHostObjects {
    int32_t references = 0;
    HostHandle callbacksHandle = nullptr;
    Vantor_Callbacks* callbacks = nullptr;
    HostHandle contextHandle = nullptr;
    ImageLib_Context* context = nullptr;
} gGlobals;

// Releases what exists of the global objects, in reverse order of creation.
void DestroyGlobals() {
    HostUtilities& utils = HostUtils();
    if (gGlobals.context) gGlobals.context->~ImageLib_Context();
    if (gGlobals.contextHandle) {
        utils.unlockHandle(HostRef(), gGlobals.contextHandle);
        utils.disposeHandle(HostRef(), gGlobals.contextHandle);
    }
    if (gGlobals.callbacks) gGlobals.callbacks->~Vantor_Callbacks();
    if (gGlobals.callbacksHandle) {
        utils.unlockHandle(HostRef(), gGlobals.callbacksHandle);
        utils.disposeHandle(HostRef(), gGlobals.callbacksHandle);
    }
    gGlobals = {};
}

// A handle of `size` bytes, locked; null pointer when the host refuses.
void* LockedBlock(size_t size, HostHandle& handle) {
    handle = HostUtils().newHandle(HostRef(), size);
    if (!handle) throw MemoryError();
    void* block = HostUtils().lockHandle(HostRef(), handle);
    if (!block) throw MemoryError();
    return block;
}

} // namespace

void AcquireGlobalHostObjects() {
    if (++gGlobals.references > 1) return;
    try {
        void* callbacks = LockedBlock(sizeof(Vantor_Callbacks), gGlobals.callbacksHandle);
        gGlobals.callbacks = new (callbacks) Vantor_Callbacks();
        void* context = LockedBlock(sizeof(ImageLib_Context), gGlobals.contextHandle);
        gGlobals.context = new (context) ImageLib_Context(gGlobals.callbacks);
    } catch (...) {
        DestroyGlobals();
        throw;
    }
}

void ReleaseGlobalHostObjects() {
    if (gGlobals.references <= 0) return;
    if (--gGlobals.references == 0) DestroyGlobals();
}

namespace {
int32_t gBandRowsOverride = 0;
}

void SetBandRowsOverride(int32_t rows) { gBandRowsOverride = rows; }

int32_t BandRows(int32_t width) {
    if (gBandRowsOverride > 0) return gBandRowsOverride;
    return std::max(131072 / width, 32);
}

void EvaluateIntoOutput(ImageLib_ComputeNode& node) {
    const ImageLib_Rect bounds = node.GetBounds();
    HostImage& output = *gCall.output;
    const ImageLib_Rect region{output.extent.left, output.extent.top, output.extent.right, output.extent.bottom, false};
    int32_t width = region.Width();
    if (!bounds.infinite) width = std::min(width, bounds.Width());
    // A band height is the frame's pixel budget shared out over the width.
    if (width <= 0 || region.Height() <= 0) return;
    Vantor_ImageAccess access(&output, false);
    ImageLib_Evaluate(node, access, region, 0, BandRows(width));
}
