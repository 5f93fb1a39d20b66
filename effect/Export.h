// Marks the module's one exported symbol; everything else stays hidden.
#pragma once

#if defined(_WIN32)
#define TEXTURIST_EXPORT extern "C" __declspec(dllexport)
#else
#define TEXTURIST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Gives a function the symbol name the host looks up.
#define TEXTURIST_SYMBOL(name) __asm__(name)
