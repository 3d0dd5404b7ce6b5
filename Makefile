# Front door: `make` builds the image, `make test` runs every test, `make run` boots the monitor.
# Each target first installs the Debian packages it needs.

BUILD := build
BUILD_PACKAGES := cmake ninja-build clang lld libgtest-dev
TEST_PACKAGES := $(BUILD_PACKAGES) python3 python3-pytest

CONFIGURE = test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++

.PHONY: all test clean

all:
	@scripts/install-deps.sh $(BUILD_PACKAGES)
	@$(CONFIGURE)
	@cmake --build $(BUILD)

test:
	@scripts/install-deps.sh $(TEST_PACKAGES)
	@$(CONFIGURE)
	@cmake --build $(BUILD)
	@cd $(BUILD) && ctest --output-on-failure --timeout 300

clean:
	rm -rf $(BUILD)
