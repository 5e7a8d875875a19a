SHELL := /bin/bash
# Entry points. Each installs the Debian packages it needs, then builds with CMake.
BUILD ?= build
JOBS ?= $(shell nproc)
# Tests run two to a CPU: most of their time is the units' and the controllers' own timing (a
# reboot of 2 s, a poll every 500 ms), spent waiting, not computing.
TEST_JOBS ?= $(shell expr 2 \* $$(nproc))

.PHONY: run test build deps test-deps

deps:
	@scripts/install-deps.sh build

test-deps:
	@scripts/install-deps.sh build test

# One configuration for `make run`, `make test` and `make bench`, so that switching between them
# never rebuilds: warnings are shown, not fatal, so that a newer compiler's new warnings never
# stop a user from running the simulator. The sanitizer build (`make test-sanitize`, which CI
# runs) turns them into errors.
DEVELOPER ?= OFF

# Ninja: a build with nothing to do says so in one line, in a fraction of a second (Make ran
# every target's moc step again and printed each directory it entered). A build folder made with
# another generator is configured afresh.
build: deps
	@if [ -f $(BUILD)/CMakeCache.txt ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$$' $(BUILD)/CMakeCache.txt; then \
	    echo "$(BUILD) was made with another generator: configuring it afresh with Ninja"; \
	    rm -rf $(BUILD)/CMakeCache.txt $(BUILD)/CMakeFiles; fi
	@if [ ! -f $(BUILD)/build.ninja ] || ! grep -q '^UNITSIM_DEVELOPER_MODE:BOOL=$(DEVELOPER)$$' $(BUILD)/CMakeCache.txt; then \
	    mkdir -p $(BUILD) && echo "Configuring $(BUILD) (cmake's words in $(BUILD)/configure.log)" && \
	    { cmake -S . -B $(BUILD) -G Ninja -DUNITSIM_DEVELOPER_MODE=$(DEVELOPER) > $(BUILD)/configure.log 2>&1 || \
	      { cat $(BUILD)/configure.log; exit 1; }; }; fi
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ]; then \
	    echo "No display found: run 'xvfb-run -a make run' (package xvfb) or 'QT_QPA_PLATFORM=offscreen make run'." >&2; exit 1; fi
	$(BUILD)/unit-simulator

# The test packages first: the build looks for GoogleTest.
test: test-deps build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(TEST_JOBS)

# The whole suite N times back to back (default 20): a test that fails in any run is flaky.
# Prints each failing run's failed tests and how many runs failed; exits 1 when any did.
N ?= 20
.PHONY: test-repeat
test-repeat: build
	@scripts/install-deps.sh test
	@failed=0; for i in $$(seq 1 $(N)); do \
	    if QT_QPA_PLATFORM=offscreen ctest --test-dir $(BUILD) -j$(TEST_JOBS) --output-on-failure > $(BUILD)/test-repeat-$$i.log 2>&1; then \
	        echo "run $$i of $(N): passed"; \
	    else \
	        failed=$$((failed + 1)); echo "run $$i of $(N): FAILED"; \
	        sed -n '/tests failed out of/,$$p' $(BUILD)/test-repeat-$$i.log; echo "    (whole output: $(BUILD)/test-repeat-$$i.log)"; \
	    fi; \
	done; echo "$$failed of $(N) runs failed"; test $$failed -eq 0

# Every C++ file formatted as .clang-format says (`scripts/check-format.sh --fix` formats them).
.PHONY: format-check
format-check:
	@scripts/install-deps.sh format
	scripts/check-format.sh

.PHONY: bench
bench: build
	@scripts/install-deps.sh bench
	BUILD=$(BUILD) bench/run-bench.sh
	BUILD=$(BUILD) bench/run-fleet-bench.sh
	BUILD=$(BUILD) bench/run-dense-bench.sh
	BUILD=$(BUILD) bench/run-scenario-bench.sh
	BUILD=$(BUILD) bench/run-fault-bench.sh
	BUILD=$(BUILD) bench/run-api-bench.sh
	BUILD=$(BUILD) bench/run-explore-bench.py
	BUILD=$(BUILD) bench/run-pages-bench.py

# The whole test suite again under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer,
# but for the tests labelled long: minutes of a controller's timing that `make test` runs already
# (the explorer, the sample controller's habits), whose parts run here in their own tests.
.PHONY: test-sanitize sanitize-build
sanitize-build: deps
	@scripts/install-deps.sh test
	cmake -S . -B build-asan -DUNITSIM_SANITIZE=ON -DUNITSIM_DEVELOPER_MODE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-asan -j$(JOBS)
test-sanitize: sanitize-build
	cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j$(JOBS) -LE long

# libFuzzer over the datagram path, FUZZ_SECONDS per target, from the seeds in tests/fuzz/corpus.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = fuzz_unitdatagram fuzz_discovery fuzz_logline fuzz_faultrule fuzz_capturepacket fuzz_recording fuzz_scenario fuzz_matcher fuzz_httphead fuzz_explorejob
.PHONY: fuzz
fuzz:
	@scripts/install-deps.sh build fuzz
	CXX=clang++ cmake -S . -B build-fuzz -DUNITSIM_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS) --target $(FUZZ_TARGETS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	    mkdir -p build-fuzz/corpus/$$t build-fuzz/artifacts; \
	    echo "== $$t, $(FUZZ_SECONDS) s"; \
	    build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=build-fuzz/artifacts/$$t- build-fuzz/corpus/$$t tests/fuzz/corpus/$$t 2>&1 \
	        | grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|==[0-9]+==|SUMMARY|.*check failed)' ; \
	    test $${PIPESTATUS[0]} -eq 0; \
	done

# 1,000,000 mixed datagrams against the real unit, every one accounted for.
.PHONY: soak
soak: build
	$(BUILD)/bench/soak 1000000 50000

# The stored traffic log through a long run: MINUTES (default 30) of UNITS units (1,000) at RATE
# requests a second (20,000), resident memory printed every SAMPLE seconds (60).
MINUTES ?= 30
UNITS ?= 1000
RATE ?= 20000
SAMPLE ?= 60
.PHONY: log-soak
log-soak: build
	@scripts/install-deps.sh test
	BUILD=$(BUILD) bench/run-log-soak.sh $(MINUTES) $(UNITS) $(RATE) $(SAMPLE)

# The Debian package (build-package/unit-simulator_VERSION-1_ARCH.deb), built with Debian's
# hardening flags, then checked: lintian, the desktop and AppStream validators, and the
# programs run from the unpacked package.
.PHONY: package package-check
package:
	@scripts/install-deps.sh build package
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	    cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DUNITSIM_TESTS=OFF \
	        -DCMAKE_STRIP=$(CURDIR)/scripts/strip-for-package.sh
	cmake --build build-package -j$(JOBS)
	cd build-package && cpack
package-check: package
	scripts/check-package.sh build-package

# The container image, from Debian's packages and ours only (mmdebstrap, then Podman), saved to
# build-image/image.tar; image-check runs it as users do (tests/container/image-test.sh).
IMAGE ?= localhost/unit-simulator:$(shell grep -oP '^project\S* VERSION \K[0-9.]+' CMakeLists.txt)
.PHONY: image image-check
image: package
	@scripts/install-deps.sh image
	scripts/build-image.sh build-package/*.deb build-image $(IMAGE)
image-check: image
	@scripts/install-deps.sh test
	tests/container/image-test.sh $(IMAGE) build-package/unit-simulator build-package/unitctl
	python3 tests/readme-examples.py README.md build-package --container
