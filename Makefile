# The README's commands. CMake does the building; this file only strings steps together.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test mutate demo test-tsan test-asan mingw-check windows test-windows arm64 test-arm64 bench-build bench bench-kernel soak valgrind clean

all: build

deps:
	./scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Mutation testing, never part of `make test` (a rebuild per fault): each fault of
# tests/mutations.txt planted in a scratch copy (build-mutate) and its tests run.
# MUTATE_ARGS="poll-delay-*" runs a subset; MUTATE_WINDOWS=1 adds the Wine-only faults.
MUTATE_ARGS ?=
mutate: deps
	JOBS=$(JOBS) ./scripts/mutate $(MUTATE_ARGS)

# A desktop needs only what builds and runs the program: no tests, no benchmarks.
demo:
	@[ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}$${QT_QPA_PLATFORM:-}" ] || { echo \
	  "demo: no desktop to show ifdiag on (neither DISPLAY nor WAYLAND_DISPLAY is set)" >&2; exit 1; }
	./scripts/install-deps demo
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target ifdiag ifbox-sim
	./scripts/demo $(BUILD)

# Benchmarks, never part of `make test`: an optimised build of their own in build-bench.
# POLL_BENCH_ARGS="--cycles 2000", STARTUP_ARGS="--runs 20"; see docs/PERFORMANCE.md.
BENCH_BUILD ?= build-bench
POLL_BENCH_ARGS ?=
STARTUP_ARGS ?=
bench-build: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DIFDIAG_BUILD_TESTS=OFF -DIFDIAG_BUILD_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target poll_bench ifdiag ifbox-sim

bench: bench-build
	$(BENCH_BUILD)/bench/poll_bench $(POLL_BENCH_ARGS)
	$(BENCH_BUILD)/bench/poll_bench --trace 1 $(POLL_BENCH_ARGS) 2>/dev/null
	./bench/startup.sh $(BENCH_BUILD) $(STARTUP_ARGS)

# The kernel's own serial drivers in a QEMU machine (software emulation): per driver the
# exchange round trip, CPU per cycle, unplug to message; see docs/PERFORMANCE.md.
bench-kernel: build
	cd $(BUILD) && for m in amd64 arm64; do ./tests/kernel_test $$m; done | grep -E "^(boot|/dev/)"

# Soak, a benchmark (about 20 minutes by default): the real poll cycle against the simulated
# box, healthy then loose. SOAK_ARGS="--minutes 1" sets each phase; see docs/RELIABILITY.md.
SOAK_ARGS ?= --minutes 10
soak: bench-build
	$(BENCH_BUILD)/bench/poll_bench $(SOAK_ARGS)

# The real program under valgrind's memcheck on Xvfb: open the test dialog, close it, quit.
valgrind: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target ifdiag ifbox-sim
	./scripts/valgrind-ifdiag $(BUILD)

test-tsan: deps
	cmake -S . -B build-tsan -DIFDIAG_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B build-asan -DIFDIAG_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS="detect_leaks=1" ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# Windows: the real Win32 program, cross-built with MinGW-w64 into build-mingw.
MINGW_BUILD ?= build-mingw
windows: deps
	cmake -S . -B $(MINGW_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build $(MINGW_BUILD) -j $(JOBS)

# link/ and monitor/ compile against the real Windows headers (part of `make windows` too).
mingw-check: deps
	cmake -S . -B $(MINGW_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build $(MINGW_BUILD) -j $(JOBS) --target ifdiag_link ifdiag_monitor

# The Windows build under Wine, against the native ifbox-sim (built in build-wine-native).
test-windows: windows
	cmake -S . -B build-wine-native -DIFDIAG_BUILD_TESTS=OFF
	cmake --build build-wine-native -j $(JOBS) --target ifbox-sim
	./tests/windows/run-under-wine $(MINGW_BUILD) build-wine-native/sim/ifbox-sim

# arm64 (a Raspberry Pi's Debian), cross-built into build-arm64; its tests run in qemu-user.
ARM64_BUILD ?= build-arm64
arm64:
	./scripts/install-deps arm64
	cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
	cmake --build $(ARM64_BUILD) -j $(JOBS)

test-arm64: arm64
	ctest --test-dir $(ARM64_BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf build build-tsan build-asan build-mingw build-wine-native build-arm64 build-mutate
