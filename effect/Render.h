// Frame setup and render: the output size of a frame, and the frame itself in
// the chosen viewing mode.
#pragma once

#include <cstdint>

// Writes the output size and origin into the out record.
int32_t SetupFrame();
// Renders into the call's output image.
int32_t RenderFrame();
