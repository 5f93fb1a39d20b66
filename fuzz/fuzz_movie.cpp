// Feeds the CLI's movie reader arbitrary files under each container's
// extension: opening, indexing and reading the first, a middle and the last
// frame. A file it cannot use must end in a CliError naming it; any other
// exception, a crash or a sanitizer report is a finding. The memory budget
// stands in for a small machine.
#include "cli/CliError.h"
#include "cli/Movie.h"

#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const char* const kExtensions[] = {".mov", ".mp4", ".mkv", ".mxf", ".avi", ".ts"};
    if (size < 1) return 0;
    const std::string path = "/tmp/fuzz_movie_" + std::to_string(getpid()) + kExtensions[bytes[0] % 6];
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes + 1), static_cast<std::streamsize>(size - 1));
    }
    try {
        MovieReader movie(path, uint64_t{256} << 20);
        const int32_t frames = movie.Info().frames;
        if (frames < 1 || movie.Info().width < 1 || movie.Info().height < 1) std::abort();
        for (const int32_t index : {0, frames / 2, frames - 1}) {
            const Plate frame = movie.Read(index);
            if (frame.spec.width != movie.Info().width || frame.samples.empty()) std::abort();
        }
    } catch (const CliError&) {}
    unlink(path.c_str());
    return 0;
}
