#include "simd/Simd.h"

namespace {

bool Detect(SimdPath path) {
    switch (path) {
    case SimdPath::Reference:
    case SimdPath::Plain:
        return true;
#if SIMD_X86
    // Also false when the operating system does not save the vector registers.
    case SimdPath::Avx2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    case SimdPath::Avx512:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
#endif
    default:
        return false;
    }
}

struct Capabilities {
    bool available[kSimdPathCount];
    SimdPath widest;
};

const Capabilities& Detected() {
    static const Capabilities capabilities = [] {
        Capabilities c{};
        for (int32_t p = 0; p < kSimdPathCount; ++p) c.available[p] = Detect(static_cast<SimdPath>(p));
        c.widest = c.available[3] ? SimdPath::Avx512 : c.available[2] ? SimdPath::Avx2 : SimdPath::Plain;
        return c;
    }();
    return capabilities;
}

// -1 until a test or benchmark selects a path.
int32_t gSelected = -1;

} // namespace

bool SimdPathAvailable(SimdPath path) {
    const int32_t p = static_cast<int32_t>(path);
    return p >= 0 && p < kSimdPathCount && Detected().available[p];
}

SimdPath WidestSimdPath() { return Detected().widest; }

bool SelectSimdPath(SimdPath path) {
    if (!SimdPathAvailable(path)) return false;
    gSelected = static_cast<int32_t>(path);
    return true;
}

SimdPath SelectedSimdPath() { return gSelected >= 0 ? static_cast<SimdPath>(gSelected) : WidestSimdPath(); }

const char* SimdPathName(SimdPath path) {
    switch (path) {
    case SimdPath::Reference:
        return "reference";
    case SimdPath::Plain:
        return "plain";
    case SimdPath::Avx2:
        return "AVX2";
    case SimdPath::Avx512:
        return "AVX-512";
    }
    return "unknown";
}
