// Test images are small, and the library runs small loops on the calling
// thread; these suites exist to exercise threaded `Iterate`, so every loop
// goes to the callbacks here. ParallelFor's own tests restore the default
// where they check the inline path.
#include "imagelib/core/ImageLib_Paths.h"

#include <gtest/gtest.h>

namespace {

class ThreadedLoops : public ::testing::Environment {
public:
    void SetUp() override { ImageLib_SetInlineLoopPixels(0); }
    void TearDown() override { ImageLib_SetInlineLoopPixels(kInlineLoopPixels); }
};

[[maybe_unused]] ::testing::Environment* const gThreadedLoops = ::testing::AddGlobalTestEnvironment(new ThreadedLoops);

} // namespace
