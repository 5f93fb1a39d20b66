#include "ImageLib_Paths.h"

namespace {
bool gReference = false;
}

void ImageLib_SetReferencePaths(bool reference) { gReference = reference; }

bool ImageLib_ReferencePaths() { return gReference; }
