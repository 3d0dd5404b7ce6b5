# Front door: `make` builds the image, `make test` runs every test, `make run` boots the monitor.
# Each target first installs the Debian packages it needs.

BUILD := build
PYTHON := /usr/bin/python3
BUILD_PACKAGES := cmake ninja-build clang lld libgtest-dev libclang-rt-14-dev
RUN_PACKAGES := python3 qemu-system-x86 ovmf
DISK_PACKAGES := mtools dosfstools gdisk
SIGN_PACKAGES := sbsigntool openssl ovmf
TEST_PACKAGES := $(sort $(BUILD_PACKAGES) $(RUN_PACKAGES) $(DISK_PACKAGES) $(SIGN_PACKAGES) llvm \
                 python3-pytest python3-pexpect python3-pyte)

FUZZ_SECONDS ?= 60

CONFIGURE = test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++

.PHONY: all build image sign run test fuzz bench clean

all:
	@scripts/install-deps.sh $(BUILD_PACKAGES)
	@$(MAKE) --no-print-directory build

build:
	@$(CONFIGURE)
	@cmake --build $(BUILD)

# SIGNED=1 puts the signed copy on the disk.
image:
	@scripts/install-deps.sh $(BUILD_PACKAGES) $(DISK_PACKAGES)
	@$(MAKE) --no-print-directory $(if $(SIGNED),sign,build)
	@scripts/make-disk.sh $(BUILD)/tarnwick.img $(BUILD)/tarnwick$(if $(SIGNED),.signed).efi
	@echo "$(BUILD)/tarnwick.img: a GPT disk with the EFI system partition"

# KEY=... CERT=... sign with your own key; without them, Debian's OVMF test key is used.
sign:
	@scripts/install-deps.sh $(BUILD_PACKAGES) $(SIGN_PACKAGES)
	@$(MAKE) --no-print-directory build
	@scripts/sign.sh $(BUILD)/tarnwick.efi $(BUILD)/tarnwick.signed.efi $(KEY) $(CERT)

run:
	@scripts/install-deps.sh $(BUILD_PACKAGES) $(RUN_PACKAGES)
	@$(MAKE) --no-print-directory build
	@$(PYTHON) scripts/boot.py $(BUILD)/esp

# CTest's summary says what passed; the figures of the fault, fuzz and soak runs follow it.
test:
	@scripts/install-deps.sh $(TEST_PACKAGES)
	@$(MAKE) --no-print-directory image SIGNED=
	@cd $(BUILD) && status=0 && { ctest --output-on-failure --timeout 300 || status=$$?; } && \
	  grep -hE '^(fault injection|fuzz [a-z_]+|soak): ' Testing/Temporary/LastTest.log; exit $$status

fuzz:
	@scripts/install-deps.sh $(BUILD_PACKAGES)
	@$(MAKE) --no-print-directory build
	@for target in keys lines; do \
	  scripts/run-fuzzer.sh $(BUILD)/fuzz_$$target tests/fuzz/corpus/$$target $(BUILD)/fuzz/$$target $(FUZZ_SECONDS) || exit 1; \
	done

# Measures and prints; writes the table to build/bench.txt.
bench:
	@scripts/install-deps.sh $(TEST_PACKAGES)
	@$(MAKE) --no-print-directory build
	@$(PYTHON) scripts/bench.py $(BUILD)

clean:
	rm -rf $(BUILD)
