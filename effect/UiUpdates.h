// Enabling and disabling dependent controls as the user changes the three
// supervised parameters, through the host's "PF Param Utils Suite" version 2.
// Nothing is remembered between calls: every update is derived from the
// current values, and a control whose state would not change is not touched.
#pragma once

#include "ParamId.h"

#include <cstdint>

void SetEnabled(ParamId id, bool enabled);
// Selector 14.
int32_t UpdateParamsUi();
// Selector 13; `changed` points at the changed parameter's record, whose first
// word is its host index.
int32_t ParamChanged(const void* changed);
