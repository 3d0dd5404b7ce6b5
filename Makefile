# Front door: `make` builds the image, `make test` runs every test, `make run` boots the monitor.
# Each target first installs the Debian packages it needs.

BUILD := build
PYTHON := /usr/bin/python3
BUILD_PACKAGES := cmake ninja-build clang lld libgtest-dev
RUN_PACKAGES := python3 qemu-system-x86 ovmf
DISK_PACKAGES := mtools dosfstools gdisk
TEST_PACKAGES := $(BUILD_PACKAGES) $(RUN_PACKAGES) $(DISK_PACKAGES) python3-pytest python3-pexpect python3-pyte

CONFIGURE = test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++

.PHONY: all build image run test clean

all:
	@scripts/install-deps.sh $(BUILD_PACKAGES)
	@$(MAKE) --no-print-directory build

build:
	@$(CONFIGURE)
	@cmake --build $(BUILD)

image:
	@scripts/install-deps.sh $(BUILD_PACKAGES) $(DISK_PACKAGES)
	@$(MAKE) --no-print-directory build
	@cmake --build $(BUILD) --target tarnwick_disk
	@echo "$(BUILD)/tarnwick.img: a GPT disk with the EFI system partition"

run:
	@scripts/install-deps.sh $(BUILD_PACKAGES) $(RUN_PACKAGES)
	@$(MAKE) --no-print-directory build
	@$(PYTHON) scripts/boot.py $(BUILD)/esp

test:
	@scripts/install-deps.sh $(TEST_PACKAGES)
	@$(MAKE) --no-print-directory build
	@cmake --build $(BUILD) --target tarnwick_disk
	@cd $(BUILD) && ctest --output-on-failure --timeout 300

clean:
	rm -rf $(BUILD)
