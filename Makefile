# make run    installs what is missing, builds (Release) and starts Tarnwick
#             (the headless proxy when there is no display)
# make test   installs what is missing, builds with AddressSanitizer and
#             UndefinedBehaviorSanitizer (Debug) and runs every test
# make fuzz   installs what is missing, builds the libFuzzer targets with clang and
#             runs each for FUZZ_SECONDS (fuzz/run.sh)
# make deb    installs what is missing, builds a Release configuration into build/deb
#             and makes the Debian package build/deb/tarnwick_VERSION_amd64.deb

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE_DIR := build/release
TEST_DIR := build/debug-asan
FUZZ_DIR := build/fuzz
DEB_DIR := build/deb
FUZZ_SECONDS ?= 600

.PHONY: run test fuzz deb build deps deps-test deps-deb

run: build
	@if [ -n "$$DISPLAY" ] || [ -n "$$WAYLAND_DISPLAY" ]; then \
		exec ./$(RELEASE_DIR)/app/tarnwick; \
	else \
		echo "No display: starting the proxy without a window (Ctrl+C ends it)."; \
		exec ./$(RELEASE_DIR)/app/tarnwick-headless; \
	fi

build: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j$(JOBS)

test: deps-test
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON
	cmake --build $(TEST_DIR) -j$(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j$(JOBS)

fuzz: deps-test
	FUZZ_JOBS=$(JOBS) sh fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

deb: deps-deb
	cmake -S . -B $(DEB_DIR) -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF
	cmake --build $(DEB_DIR) -j$(JOBS)
	cd $(DEB_DIR) && cpack -G DEB

deps:
	@sh scripts/setup.sh run

deps-test:
	@sh scripts/setup.sh test

deps-deb:
	@sh scripts/setup.sh deb
