#include "ImageLib_Paths.h"

namespace {
bool gReference = false;
int64_t gInlinePixels = kInlineLoopPixels;
} // namespace

void ImageLib_SetReferencePaths(bool reference) { gReference = reference; }

bool ImageLib_ReferencePaths() { return gReference; }

void ImageLib_SetInlineLoopPixels(int64_t pixels) { gInlinePixels = pixels; }

int64_t ImageLib_InlineLoopPixels() { return gInlinePixels; }
