# Set-up and everyday commands. `make demo` and `make test` work on a fresh
# Debian 12 machine: both install the Debian packages they need first.

JOBS ?= $(shell nproc)
QUILLAVOR_LAUNCHER ?= $(shell command -v ccache 2>/dev/null)
export QUILLAVOR_LAUNCHER

.PHONY: all deps build check test test-asan demo bench fuzz clean

all: build

deps:
	@scripts/install-deps

build/default/build.ninja: CMakePresets.json CMakeLists.txt | deps
	cmake --preset default

build: deps build/default/build.ninja
	cmake --build --preset default -j $(JOBS)

# The default build and its tests only: the quick loop while developing.
check: build
	ctest --preset default -j $(JOBS)

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# Everything CI runs: the tests, then the same tests under ASan and UBSan.
test: check test-asan

demo: build
	scripts/demo

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@if [ -x scripts/bench ]; then scripts/bench; else echo "no benchmark yet"; fi

fuzz: deps
	@if [ -x scripts/fuzz ]; then scripts/fuzz; else echo "no fuzz targets yet"; fi

clean:
	rm -rf build examples/out
