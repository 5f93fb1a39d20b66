// The colour of a render: the spaces of its files and of the module, and the
// way from a file to the module and back.
//
// The module renders in the working space, quantised to the host's integer
// scale. Its output is never written as such: the output is the input's own
// float pixels plus what the module added, carried back through the working
// space's decoding, out = in + decode(rendered) - decode(module input). Pixels
// the module left as they were keep their exact bits (superwhites, negatives,
// NaN and infinities included); where it added grain, it is added to the
// original value, not to a clamped and requantised copy.
#pragma once

#include "cli/ColourSpaces.h"
#include "cli/ImageIO.h"

#include <string>

struct ColourOptions {
    std::string input;       // --colorspace-in: the input's (and by default the noise source's) space
    std::string noiseSource; // --noise-colorspace
    std::string working;     // --working-space
    std::string output;      // --colorspace-out
};

struct ColourPlan {
    std::string input, working, output;
    ColourConversion toWorking, fromWorking, toOutput;
    std::string outputTag; // "oiio:ColorSpace" of the outputs
};

// The spaces of a render whose first input frame is `first`, written to
// `outputPath` at `depth`. Unset spaces default from the file's tags: the
// working space is the input's own, or for scene-linear input a log encoding;
// the output's is the input's, but display-referred sRGB for integer files
// made from scene-linear input.
ColourPlan PlanColour(const ColourConfig& config, const ColourOptions& options, const Plate& first,
                      const std::string& inputPath, const std::string& outputPath, SampleDepth depth);

// The noise source's way into the working space.
ColourConversion NoiseToWorking(const ColourConfig& config, const ColourOptions& options, const ColourPlan& plan,
                                const Plate& noise, const std::string& path);

// A plate measured on its own (analyse): into the working space a render of
// footage in the plate's own space would use.
ColourConversion PlateToWorking(const ColourConfig& config, const ColourOptions& options, const Plate& plate,
                                const std::string& path);

// The render's output from the input and the module's images of its data
// window, before and after. Takes the input by value: a caller done with it moves it in.
Plate ApplyModuleResult(Plate input, const HostImage& before, const HostImage& after,
                        const ColourConversion& fromWorking);

// A picture the module made that is not the input with grain (the noise
// samples, the matte): decoded whole. Placed on the input's data window when
// it has its size.
Plate PlateFromModule(const HostImage& image, const Plate& input, bool alpha, const ColourConversion& fromWorking);

// Converts the colour of `plate` in place (straight colour, alpha kept).
void ConvertColour(Plate& plate, const ColourConversion& conversion);
