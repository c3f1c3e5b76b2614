# Thin wrapper over the scripts, the CMake presets and ctest.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
.PHONY: setup build run test asan fuzz package package-check clean

setup:
	scripts/setup

# scripts/build, run and test each run scripts/setup first: they also start where make is not
# installed yet (a fresh Debian 12).
export JOBS
build:
	scripts/build

run:
	scripts/run

test:
	scripts/test

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

# build-package/folioxa_<version>_amd64.deb, built with Debian's hardening flags.
package: setup
	cmake --preset package
	cmake --build --preset package -j $(JOBS)
	rm -f build-package/folioxa_*.deb
	cd build-package && cpack

# The package checked by lintian, desktop-file-validate and appstreamcli, then unpacked and run.
# Without the shared corpus it converts a document that the tests' test-documents makes.
package-check: package
	scripts/setup --package
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target test-documents
	packaging/check build-package/folioxa_*.deb build/bin/test-documents

clean:
	rm -rf build build-asan build-fuzz build-package
