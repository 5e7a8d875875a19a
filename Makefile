# Entry points. Each installs the Debian packages it needs, then builds with CMake.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build deps

deps:
	@scripts/install-deps.sh build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

run: build
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ]; then \
	    echo "No display found: run 'xvfb-run -a make run' or 'QT_QPA_PLATFORM=offscreen make run'." >&2; exit 1; fi
	$(BUILD)/unit-simulator

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

.PHONY: bench
bench: build
	@scripts/install-deps.sh bench
	BUILD=$(BUILD) bench/run-bench.sh
