// The module's property record, which the host reads without loading the
// module: display name, category and the name of the entry point. Windows
// builds carry the same properties as a resource (Texturist.rc).
#include "interface/HostInterface.h"

#if !defined(_WIN32)
extern "C" __attribute__((section(HOST_PROPERTY_SECTION), used, visibility("hidden")))
const HostModuleProperties kTexturistProperties = {"VTPROPS", 1, "Texturist", "Noise & Grain", "main"};
#endif
