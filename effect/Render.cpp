#include "Render.h"

#include "CallContext.h"
#include "ParamCatalogue.h"
#include "ParamReading.h"
#include "ShellErrors.h"

#include <algorithm>

int32_t SetupFrame() {
    const HostImage* sized = &gCall.params[0]->u.layer.image;
    if (ReadInteger(ParamId::ViewingMode) == kViewNoiseSamples) sized = &NoiseSourceImage();
    gCall.out->width = sized->width;
    gCall.out->height = sized->height;
    gCall.out->originX = 0;
    gCall.out->originY = 0;
    return kErrorNone;
}

int32_t RenderFrame() {
    const HostImage& input = gCall.params[0]->u.layer.image;
    HostImage& output = *gCall.output;
    const HostRect rect{0, 0, std::min(input.width, output.width), std::min(input.height, output.height)};
    return HostUtils().copyImage(HostRef(), &input, &output, &rect, &rect);
}
