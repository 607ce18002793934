# Set-up and everyday commands. `make demo` and `make test` work on a fresh
# Debian 12 machine: both install the Debian packages they need first.

JOBS ?= $(shell nproc)
QUILLAVOR_LAUNCHER ?= $(shell command -v ccache 2>/dev/null)
export QUILLAVOR_LAUNCHER

.PHONY: all deps build check test test-asan test-fuzz demo bench fuzz package install clean

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

# Each fuzz target for about 20 seconds on a fresh copy of its seed corpus
# (with the inputs of earlier findings); a crash, sanitizer report or checker
# violation fails the run.
test-fuzz: deps
	FUZZ_SECONDS=$${FUZZ_SECONDS:-20} scripts/fuzz --seeds

# Everything CI runs: the tests, the same tests under ASan and UBSan, then a
# short fuzzing run.
test: check test-asan test-fuzz

demo: build
	scripts/demo

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@if [ -x scripts/bench ]; then scripts/bench; else echo "no benchmark yet"; fi

# The Debian package, from the default build: build/default/quillavor-maker_<version>_amd64.deb.
package: build
	cmake --build --preset default --target package

# Installs the default build under PREFIX (default /usr/local; DESTDIR works too).
PREFIX ?= /usr/local
install: build
	cmake --install build/default --prefix $(PREFIX)

# Grows the corpora in build/fuzz/corpora: FUZZ_SECONDS per target (default 60).
fuzz: deps
	scripts/fuzz

clean:
	rm -rf build examples/out
