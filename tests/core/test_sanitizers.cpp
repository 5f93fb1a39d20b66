// The sanitizer builds must really be instrumented: each test provokes the
// fault its sanitizer exists for and expects the run to die with its report.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace {

volatile int gSink;
volatile int gPastTheEnd = 4; // opaque to the compiler, so the read is not diagnosed at build time

// Only AddressSanitizer may see this read: UBSan's object-size check would report it first.
[[maybe_unused]] __attribute__((no_sanitize("undefined"))) void ReadPastHeapBlock() {
    int* block = static_cast<int*>(std::calloc(4, sizeof(int)));
    volatile int* past = block;
    gSink = past[gPastTheEnd];
    std::free(block);
}

[[maybe_unused]] void OverflowSignedInteger() {
    volatile int32_t big = INT32_MAX;
    gSink = big + 1;
}

} // namespace

// A build configured for a sanitizer must really have it compiled in.
TEST(Sanitizer, ExpectedSanitizersAreCompiledIn) {
#if defined(TEXTURIST_EXPECT_ASAN) && !defined(__SANITIZE_ADDRESS__)
    ADD_FAILURE() << "configured for AddressSanitizer, built without it";
#endif
#if defined(TEXTURIST_EXPECT_TSAN) && !defined(__SANITIZE_THREAD__)
    ADD_FAILURE() << "configured for ThreadSanitizer, built without it";
#endif
#if !defined(TEXTURIST_EXPECT_ASAN) && !defined(TEXTURIST_EXPECT_TSAN)
    GTEST_SKIP() << "not a sanitizer build";
#endif
}

TEST(SanitizerDeathTest, AddressSanitizerCatchesHeapOverflow) {
#if defined(TEXTURIST_EXPECT_ASAN)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ReadPastHeapBlock(), "heap-buffer-overflow");
#else
    GTEST_SKIP() << "not an AddressSanitizer build";
#endif
}

TEST(SanitizerDeathTest, UndefinedBehaviorSanitizerCatchesSignedOverflow) {
#if defined(TEXTURIST_EXPECT_UBSAN)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(OverflowSignedInteger(), "signed integer overflow");
#else
    GTEST_SKIP() << "not an UndefinedBehaviorSanitizer build";
#endif
}
