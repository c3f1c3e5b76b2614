# Thin wrapper over scripts/setup, the CMake presets and ctest.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
.PHONY: setup build run test asan fuzz clean

setup:
	scripts/setup

build: setup
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

run: build
	./build/bin/folioxa

test: build
	QT_QPA_PLATFORM=offscreen ctest --preset default -j $(JOBS)

# Everything under -fsanitize=address,undefined, the window's tests included.
asan: setup
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	QT_QPA_PLATFORM=offscreen ctest --preset asan -j $(JOBS)

# libFuzzer harnesses (clang) in build-fuzz/, each run for FUZZ_SECONDS; CI: FUZZ_SECONDS=10.
fuzz:
	scripts/setup --fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-fuzz
