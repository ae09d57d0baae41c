# The two commands a newcomer needs: `make run` and `make test`.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_GEN  := cmake -S . -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: run test bench build package deps clean

deps:
	@scripts/install-deps

build: deps
	@$(CMAKE_GEN) -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@TESSARO_BUILD_DIR=$(BUILD) scripts/run

# The Debian package, $(BUILD)/tessaro_VERSION_ARCH.deb, from the build's own
# install rules.
package: build
	@cd $(BUILD) && cpack -G DEB

# Unit tests that need OpenGL share one virtual X server; the end-to-end
# tests start servers of their own. -noreset: a server that resets whenever
# its last client leaves can refuse the next test's connection.
XVFB_RUN   := xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset"

# System libraries (D-Bus, Mesa) keep allocations to the end of the process.
LSAN_OPTIONS := suppressions=$(CURDIR)/tests/support/lsan.supp:print_suppressions=0

# First the layer order of the includes (scripts/check-layers), then the
# whole suite (ctest runs each test in a process of its own), the unit
# tests once more as one process, then the unit tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the renderer's output of the
# optimised build against the unoptimised sanitizer build's, and the threaded
# tests under ThreadSanitizer (with the demo and video file cameras, whose
# threads the tests share data with).
test: build
	scripts/check-layers
	cd $(BUILD) && $(XVFB_RUN) ctest --output-on-failure -j 2
	cd $(BUILD) && $(XVFB_RUN) ./tessaro_tests --gtest_brief=1
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSARO_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan -j $(JOBS) --target tessaro_tests tessaro-render
	cd build-asan && $(XVFB_RUN) env LSAN_OPTIONS=$(LSAN_OPTIONS) ctest --output-on-failure -j 2 -L unit
	env LSAN_OPTIONS=$(LSAN_OPTIONS) scripts/check-same-arithmetic $(BUILD)/tessaro-render build-asan/tessaro-render
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTESSARO_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target tessaro_tests
	cd build-tsan && $(XVFB_RUN) env TSAN_OPTIONS=halt_on_error=1 ./tessaro_tests --gtest_filter='*Concurren*:*Thread*:DemoCamera.*:VideoFileCamera.*'

bench:
	@scripts/install-deps bench
	@$(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -B build-bench >/dev/null
	@cmake --build build-bench -j $(JOBS) --target tessaro_bench
	./build-bench/tessaro_bench

clean:
	rm -rf build build-asan build-tsan build-bench
