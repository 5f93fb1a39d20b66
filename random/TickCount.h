// Milliseconds since an arbitrary start, wrapping at 32 bits: what Windows'
// GetTickCount gives. Only used to seed the random generator when asked for
// an unrepeatable sequence.
#pragma once

#include <cstdint>

uint32_t TickCount();
