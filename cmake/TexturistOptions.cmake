# Warnings and sanitizers shared by every target of the project.

set(TEXTURIST_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, address-undefined or thread")
set(TEXTURIST_WARNINGS_AS_ERRORS OFF CACHE BOOL "Treat compiler warnings as errors")

add_library(texturist_warnings INTERFACE)
target_compile_options(texturist_warnings INTERFACE -Wall -Wextra -Wpedantic)
# GCC 12 at -O3 reports overlapping copies inside std::string operations that
# cannot overlap (GCC bug 105651); the warning says nothing about our code there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(texturist_warnings INTERFACE -Wno-restrict)
endif()
# GCC 12's AVX-512 intrinsics start from a self-initialised "undefined"
# register, which its own uninitialised-variable warning then reports inside
# the intrinsics (GCC bug 105593). Sources using them take this list.
set(TEXTURIST_AVX512_INTRINSICS_OPTIONS "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  set(TEXTURIST_AVX512_INTRINSICS_OPTIONS -Wno-uninitialized -Wno-maybe-uninitialized)
endif()
# Reproducible float results everywhere: no contraction into fused multiply-adds.
# Nothing here reads the floating-point exception flags, so the compiler may
# evaluate both sides of a select (which lets branchy pixel loops vectorise);
# that changes no value, unlike the fast-math options, which stay off.
add_compile_options(-ffp-contract=off -fno-trapping-math)
if(TEXTURIST_WARNINGS_AS_ERRORS)
  target_compile_options(texturist_warnings INTERFACE -Werror)
endif()

if(TEXTURIST_SANITIZE STREQUAL "address-undefined")
  # GCC leaves float-to-integer overflow out of "undefined"; user values reach such casts.
  add_compile_options(-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
  add_compile_definitions(TEXTURIST_EXPECT_ASAN=1 TEXTURIST_EXPECT_UBSAN=1)
elseif(TEXTURIST_SANITIZE STREQUAL "fuzzer")
  # Coverage for libFuzzer everywhere; the fuzz targets link the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
                      -fsanitize-coverage-ignorelist=${CMAKE_CURRENT_LIST_DIR}/fuzz-coverage-ignorelist.txt)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(TEXTURIST_EXPECT_ASAN=1 TEXTURIST_EXPECT_UBSAN=1)
elseif(TEXTURIST_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(TEXTURIST_EXPECT_TSAN=1)
elseif(NOT TEXTURIST_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown TEXTURIST_SANITIZE value '${TEXTURIST_SANITIZE}'")
endif()
