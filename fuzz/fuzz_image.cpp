// Feeds the CLI's image reader arbitrary files under each extension it may
// meet. A file it cannot use must end in a CliError naming it; any other
// exception, a crash or a sanitizer report is a finding. The memory budget
// stands in for a small machine: files declaring more than it are refused
// before anything is allocated.
#include "cli/CliError.h"
#include "cli/ImageIO.h"

#include <OpenImageIO/imagecache.h>

#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const char* const kExtensions[] = {".png", ".exr", ".tif", ".dpx", ".jpg", ".ppm", ".bmp", ".tga"};
    if (size < 1) return 0;
    const std::string path = "/tmp/fuzz_image_" + std::to_string(getpid()) + kExtensions[bytes[0] % 8];
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes + 1), static_cast<std::streamsize>(size - 1));
    }
    try {
        const LoadedImage image = ReadImage(path, uint64_t{256} << 20);
        if (image.pixels.Width() < 1 || image.pixels.Height() < 1) std::abort();
    } catch (const CliError&) {}
    // The reader goes through OpenImageIO's shared cache, which would
    // otherwise answer for the next input at the same path.
    OIIO::ImageCache::create(true)->invalidate(OIIO::ustring(path), true);
    unlink(path.c_str());
    return 0;
}
