// Variants of a module with nothing but an entry point, for the loader's tests.
// Built several times with different definitions:
// - FIXTURE_PROPERTY_ENTRY: when defined, the property record names this entry
//   point; when not, the module has no property section at all.
// - FIXTURE_EXPORT: the symbol the entry point is exported under.
// The entry point answers every selector with FIXTURE_ANSWER + selector, so a
// test can tell which variant (and which function) it reached.
#include "interface/HostInterface.h"

#ifdef FIXTURE_PROPERTY_ENTRY
extern "C" __attribute__((section(HOST_PROPERTY_SECTION), used, visibility("hidden")))
const HostModuleProperties kMinimalProperties = {"VTPROPS", 1, "Minimal Fixture", "Testing", FIXTURE_PROPERTY_ENTRY};
#endif

extern "C" __attribute__((visibility("default"))) int32_t MinimalEntry(uint32_t selector, HostInData*, HostOutData*,
                                                                       HostParamRecord**, HostImage*,
                                                                       void*) __asm__(FIXTURE_EXPORT);

extern "C" int32_t MinimalEntry(uint32_t selector, HostInData*, HostOutData*, HostParamRecord**, HostImage*, void*) {
    return FIXTURE_ANSWER + static_cast<int32_t>(selector);
}
