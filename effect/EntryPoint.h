// The module's command handler: what the host reaches through the exported
// `main`. Every failure is turned into a host code here; nothing escapes.
#pragma once

#include "interface/HostInterface.h"

#include <cstdint>

int32_t TexturistMain(uint32_t selector, HostInData* in, HostOutData* out, HostParamRecord** params, HostImage* output,
                      void* extra) noexcept;
