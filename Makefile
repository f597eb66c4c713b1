# Front door: each target sets up what it needs (scripts/bootstrap), then
# configures, builds and runs.
#
#   make demo    build (RelWithDebInfo) and run the demo scenario
#   make demo-cluster  the MPI programs across 4 simulated client hosts
#   make test    tests with warnings as errors, then again under ASan+UBSan (Python package: plain run only)
#   make bench   benchmarks (Release), ending with one table of their ratios
#   make fuzz    every fuzz target for FUZZ_SECONDS (default 60) each
#   make deb     Debian packages in build-deb/ (DEB_DIR), lintian-checked and tried unpacked
#   make stress-demo  the demo's FID lookups repeated under load (STRESS_SECONDS, default 120)
#   make format  clang-format the sources in place
#   make clean   remove the build folders
#
# Build folders can be moved, e.g. make test BUILD_DIR=/tmp/b ASAN_DIR=/tmp/a;
# one that a copied checkout brought along is configured anew;
# make demo builds only the programs it runs;
# JOBS=N limits the build's parallel jobs (default: Ninja's choice).

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
BENCH_DIR ?= build-bench
FUZZ_DIR ?= build-fuzz
DEB_DIR ?= build-deb
FUZZ_SECONDS ?= 60
STRESS_SECONDS ?= 120
JOBS ?=
CTEST_JOBS ?= 2

CMAKE_CONFIGURE := cmake -S . -G Ninja -Wno-dev
# A build folder configured for another checkout (a copied or moved tree)
# would fail in CMake: its cache is dropped, with a note, and it is
# configured anew.
FRESH_IF_MOVED = if [[ -f $(1)/CMakeCache.txt ]]; then \
	src=$$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' $(1)/CMakeCache.txt); \
	if [[ "$$(realpath -m "$$src")" != "$$(realpath .)" ]]; then \
		echo "note: $(1) was configured for $$src; configuring it anew for $$(realpath .)"; \
		rm -rf $(1)/CMakeCache.txt $(1)/CMakeFiles; \
	fi; \
fi;
# What scripts/demo* run: the front end, the simulator and the test
# programs they show (not the tests).
DEMO_TARGETS := zorvel zvsim_launcher fallocheck seekprobe truncread \
	foreigndir foreigncheck lmvxattrdump
CMAKE_BUILD = cmake --build $(1) $(if $(JOBS),-j$(JOBS))
CTEST = ctest --test-dir $(1) --output-on-failure --no-label-summary -j$(CTEST_JOBS)

.PHONY: all help demo demo-cluster test bench fuzz deb stress-demo format clean
.DEFAULT_GOAL := help

help:
	@sed -n 's/^#   /  /p' $(firstword $(MAKEFILE_LIST))

all: test

demo:
	@scripts/bootstrap demo
	@$(call FRESH_IF_MOVED,$(BUILD_DIR))
	$(CMAKE_CONFIGURE) -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(call CMAKE_BUILD,$(BUILD_DIR)) --target $(DEMO_TARGETS)
	scripts/demo $(BUILD_DIR)

# Needs the privilege to make network namespaces (root, or user namespaces).
demo-cluster:
	@scripts/bootstrap demo
	@$(call FRESH_IF_MOVED,$(BUILD_DIR))
	$(CMAKE_CONFIGURE) -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(call CMAKE_BUILD,$(BUILD_DIR))
	scripts/demo-cluster $(BUILD_DIR)

# Make stops at the first failing command: a failing plain run never
# reaches the sanitized one, and the last lines are CTest's summary.
test:
	@scripts/bootstrap test
	@$(call FRESH_IF_MOVED,$(BUILD_DIR))
	$(CMAKE_CONFIGURE) -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DZV_WERROR=ON -DZV_SANITIZE=OFF -DZV_TESTS=ON
	$(call CMAKE_BUILD,$(BUILD_DIR))
	$(call CTEST,$(BUILD_DIR))
	@$(call FRESH_IF_MOVED,$(ASAN_DIR))
	@# The Python package is tested in the plain run only: its pybind11
	@# sources are a sixth of the sanitized build's time, and its leak
	@# checks count references, which the sanitizers do not see. So are
	@# the checks of what is shipped and of the sources' text (packaging,
	@# docs, style), which the sanitizers do not change.
	$(CMAKE_CONFIGURE) -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DZV_WERROR=ON -DZV_SANITIZE=ON -DZV_TESTS=ON -DZV_PYTHON=OFF
	$(call CMAKE_BUILD,$(ASAN_DIR))
	$(call CTEST,$(ASAN_DIR)) -LE '^(packaging|docs|style)$$'

# Every benchmark runs (a failing one does not stop the others); the last
# lines are one table of every benchmark's rows, which are written to
# $(BENCH_DIR)/bench-results.json too (replaced by each run).
bench:
	@scripts/bootstrap bench
	@if [[ ! -f bench/CMakeLists.txt ]]; then \
		echo "bench: no benchmarks yet (bench/CMakeLists.txt is missing)"; \
		exit 0; \
	fi; \
	set -x; \
	$(call FRESH_IF_MOVED,$(BENCH_DIR)) \
	$(CMAKE_CONFIGURE) -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release \
		-DZV_BENCH=ON -DZV_TESTS=OFF -DZV_SANITIZE=OFF; \
	$(call CMAKE_BUILD,$(BENCH_DIR)); \
	{ set +x; } 2>/dev/null; \
	shopt -s nullglob; benches=($(BENCH_DIR)/bin/*_bench); \
	if (( $${#benches[@]} == 0 )); then \
		echo "bench: no benchmarks built (no $(BENCH_DIR)/bin/*_bench)"; \
		exit 0; \
	fi; \
	export ZV_BENCH_ROWS=$$(realpath $(BENCH_DIR))/bench-rows.tsv; \
	rm -f "$$ZV_BENCH_ROWS"; \
	failed=(); \
	for b in "$${benches[@]}"; do \
		echo "== $$b"; \
		"$$b" || failed+=("$$(basename "$$b")"); \
	done; \
	$(BENCH_DIR)/bin/bench_report table "$$ZV_BENCH_ROWS" \
		$(BENCH_DIR)/bench-results.json; \
	if (( $${#failed[@]} > 0 )); then \
		echo "bench: failed: $${failed[*]}" >&2; \
		exit 1; \
	fi

fuzz:
	@scripts/bootstrap fuzz
	@$(call FRESH_IF_MOVED,$(FUZZ_DIR))
	CC=clang CXX=clang++ $(CMAKE_CONFIGURE) -B $(FUZZ_DIR) \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_FUZZ=ON -DZV_TESTS=OFF
	$(call CMAKE_BUILD,$(FUZZ_DIR))
	fuzz/run $(FUZZ_DIR) $(FUZZ_SECONDS)

# Built in a copy of the tree under $(DEB_DIR) (the tree stays as it is),
# on all cores unless JOBS says otherwise; then checked without installing.
deb:
	@scripts/bootstrap deb
	scripts/deb-build $(DEB_DIR) $(or $(JOBS),auto)
	scripts/deb-check $(DEB_DIR)

# Not part of make test: it runs for minutes and loads the machine.
stress-demo:
	@scripts/bootstrap demo
	@$(call FRESH_IF_MOVED,$(BUILD_DIR))
	$(CMAKE_CONFIGURE) -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(call CMAKE_BUILD,$(BUILD_DIR)) --target zorvel zvsim_launcher
	scripts/stress-demo $(BUILD_DIR) $(STRESS_SECONDS)

format:
	@scripts/bootstrap format
	tests/format/format.sh fix .

clean:
	rm -rf build build-asan build-bench build-fuzz build-deb \
		$(BUILD_DIR) $(ASAN_DIR) $(BENCH_DIR) $(FUZZ_DIR) $(DEB_DIR)
