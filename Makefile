# Thin wrapper over scripts/setup, the CMake presets and ctest.
JOBS ?= $(shell nproc)
.PHONY: setup build run test asan clean

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

clean:
	rm -rf build build-asan
