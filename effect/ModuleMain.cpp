// The module's one export. C++ reserves the name `main` for programs, so the
// function has its own name in the source and the host's in the symbol table.
#include "EntryPoint.h"
#include "Export.h"

TEXTURIST_EXPORT int32_t TexturistModuleMain(uint32_t selector, HostInData* in, HostOutData* out,
                                             HostParamRecord** params, HostImage* output, void* extra)
    TEXTURIST_SYMBOL("main");

int32_t TexturistModuleMain(uint32_t selector, HostInData* in, HostOutData* out, HostParamRecord** params,
                            HostImage* output, void* extra) {
    return TexturistMain(selector, in, out, params, output, extra);
}
