# Entry points for people and CI. `make run` renders the demo, `make test`
# builds and runs every test; both install what is missing first.

PRESET ?= dev
JOBS ?= $(shell nproc)

.PHONY: setup configure build run test asan tsan windows fuzz bench format clean

setup:
	@./scripts/setup

configure: setup
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

run: build
	@./build/$(PRESET)/cli/texturist demo

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

# The tests that run work on several threads, under ThreadSanitizer.
tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# The libFuzzer targets from their seed corpora: FUZZ_RUNS executions with a
# fixed seed (repeatable, for CI) or FUZZ_SECONDS of fuzzing (scripts/fuzz).
fuzz: setup
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) --target fuzz_module fuzz_preset fuzz_image fuzz_movie
	@./scripts/fuzz

# The module as the host's platform loads it: a Windows x64 DLL exporting only
# main, run under Wine by the Windows build of the host runtime and compared,
# render for render, with the Linux module.
windows: setup
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS)
	@./scripts/check-dll-exports build/windows/effect/Texturist.dll
	@./scripts/check-dll-vector-moves build/windows/effect/Texturist.dll
	@./scripts/check-windows-module

# Whole frames through the module at 1080p and 2160p, 8 and 16 bits, one and
# two threads: medians and ratios to the reference paths and to a plain copy.
# BENCH_ARGS passes options on (e.g. --hd-only --runs 21).
bench: setup
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS) --target render_bench nodes_bench noise_bench texturist-cli texturist
	@./build/release/bench/render_bench $(BENCH_ARGS)
	@./bench/end_to_end.sh build/release

format:
	@clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	@rm -rf build
