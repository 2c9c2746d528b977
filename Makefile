# make test: installs what is missing, builds (plain and sanitized), runs every test.
# make demo: builds, then runs the service, a simulated controller and twenty simulated APs;
#            KEEP=1 leaves its work directory (logs, events) in /tmp.
# make bench: builds, installs nginx and gnuplot, runs the service against nginx and the
#             Google Benchmark targets; results in bench/results/.
# make package: builds the Debian packages dor-sa and dor-sa-tools in $(BUILD)/.

JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
RELEASE_BUILD ?= build-release
CLANG_BUILD ?= build-clang
FUZZ_SECONDS ?= 30
CTEST_FLAGS = --output-on-failure -j$(JOBS) --timeout 600

.PHONY: all deps build asan release clang test test-build test-asan test-release fuzz demo bench \
	package format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOR_WERROR=ON \
		-DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD) -j$(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDOR_SANITIZE=ON -DDOR_BENCH=OFF \
		-DDOR_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# The service and its tools alone, optimised, warnings as errors: what a
# packager builds, with none of the test dependencies.
release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DDOR_WERROR=ON \
		-DDOR_TESTS=OFF -DDOR_BENCH=OFF -DDOR_FUZZ=OFF
	cmake --build $(RELEASE_BUILD) -j$(JOBS)

# clang 14 too, tests included, so that the tree keeps building with both
# compilers; GCC's builds run the tests.
clang: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=Release \
		-DDOR_WERROR=ON -DDOR_BENCH=ON
	cmake --build $(CLANG_BUILD) -j$(JOBS)

test-build: build
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

test-asan: asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) $(CTEST_FLAGS)

fuzz: deps
	scripts/run-fuzzers $(FUZZ_SECONDS)

test-release: release

# The package is built and checked by the packaging tests of test-build.
test: test-build test-asan test-release clang fuzz

package: build
	cd $(BUILD) && cpack -G DEB

demo: build
	scripts/demo $(if $(filter 1,$(KEEP)),--keep) $(BUILD)

bench: build
	scripts/run-benchmarks $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD) $(CLANG_BUILD) build-fuzz
