// The fast-versus-reference harness: every path this processor runs, a guard
// that puts the default back whatever a test does, and the check that each
// fast path gives the reference's result exactly.
#pragma once

#include "simd/Simd.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testpaths {

// Plain, AVX2 and AVX-512 as far as this processor runs them.
inline std::vector<SimdPath> FastPaths() {
    std::vector<SimdPath> paths;
    for (SimdPath path : {SimdPath::Plain, SimdPath::Avx2, SimdPath::Avx512})
        if (SimdPathAvailable(path)) paths.push_back(path);
    return paths;
}

class PathGuard {
public:
    PathGuard() = default;
    PathGuard(const PathGuard&) = delete;
    PathGuard& operator=(const PathGuard&) = delete;
    ~PathGuard() { SelectSimdPath(WidestSimdPath()); }
};

// Runs `produce` on the reference path and on every fast path; each fast
// result must equal the reference's (compare bytes or bit patterns, not
// floats, where NaN may appear).
template <class Produce> void ExpectEveryPathGivesTheReference(Produce produce, const std::string& what = {}) {
    PathGuard guard;
    SelectSimdPath(SimdPath::Reference);
    const auto reference = produce();
    for (SimdPath path : FastPaths()) {
        SelectSimdPath(path);
        EXPECT_EQ(produce(), reference) << what << (what.empty() ? "" : ", ") << "the " << SimdPathName(path)
                                        << " path";
    }
}

} // namespace testpaths
