# SPDX-License-Identifier: BSD-2-Clause-Patent
# Front door: `make` builds the images, `make test` runs every test, `make run` boots the monitor.
# Each command first installs, once, the Debian packages it needs.

BUILD ?= build
PYTHON = TARNWICK_BUILD=$(BUILD) PYTHONPATH=scripts /usr/bin/python3
# make run boots the platform table's first machine, or ARCH/FIRMWARE (either may be left out).
MACHINE = $(ARCH)/$(FIRMWARE)
FUZZ_SECONDS ?= 60

# The images: clang and the LLVM linkers, and python3 with pefile and pyelftools to write the PE files.
BUILD_PACKAGES := cmake ninja-build clang lld python3 python3-pefile python3-pyelftools
DISK_PACKAGES := python3 mtools dosfstools gdisk
# ovmf brings the test key that `make sign` uses when given none.
SIGN_PACKAGES := python3 sbsigntool openssl ovmf
HOST_PACKAGES := libgtest-dev libclang-rt-dev
# dpkg-buildpackage wants build-essential, whatever the package builds with.
DEB_PACKAGES := $(BUILD_PACKAGES) build-essential debhelper dpkg-dev lintian
ISO_PACKAGES := $(BUILD_PACKAGES) mtools dosfstools xorriso
TEST_PACKAGES := $(DEB_PACKAGES) $(ISO_PACKAGES) $(DISK_PACKAGES) $(SIGN_PACKAGES) $(HOST_PACKAGES) llvm \
                 python3-pytest python3-pexpect python3-pyte systemd-boot-efi grub-efi-amd64-bin
INSTALL := scripts/install-deps.sh
VERSION = $(shell sed -n '1s/.*(\(.*\)).*/\1/p' debian/changelog)

# Configures the build tree, with the host tests and fuzzers when TESTS is ON.
configure = cmake -S . -B $(BUILD) -G Ninja --no-warn-unused-cli -DCMAKE_CXX_COMPILER=clang++ \
            $(if $(1),-DTARNWICK_TESTS=$(1)) >/dev/null
images = $(call configure) && cmake --build $(BUILD) --target images
everything = $(call configure,ON) && cmake --build $(BUILD)
disk = $(PYTHON) -m tarnwick.disk $(BUILD)/tarnwick.img $(BUILD)/$(if $(SIGNED),esp-signed,esp) && \
       echo "$(BUILD)/tarnwick.img: a GPT disk with the EFI system partition"
iso = $(PYTHON) -m tarnwick.disk --iso $(BUILD)/tarnwick.iso $(BUILD)/esp && \
      echo "$(BUILD)/tarnwick.iso: an ISO image with an El Torito EFI boot image"
# KEY and CERT are checked before anything is built, so that a mistake shows at once.
check_key = $(PYTHON) -m tarnwick.sign --check "$(KEY)" "$(CERT)"
signed = $(PYTHON) -m tarnwick.sign "$(KEY)" "$(CERT)"
# The Debian package, built by dpkg-buildpackage from a copy of the tree and checked by lintian.
package = rm -rf $(BUILD)/deb && mkdir -p $(BUILD)/deb/tarnwick-$(VERSION) && \
          tar --exclude=./$(BUILD) --exclude=./.git -cf - . | tar -C $(BUILD)/deb/tarnwick-$(VERSION) -xf - && \
          { (cd $(BUILD)/deb/tarnwick-$(VERSION) && dpkg-buildpackage -us -uc) >$(BUILD)/deb/build.log 2>&1 || \
            { tail -40 $(BUILD)/deb/build.log; exit 1; }; } && \
          lintian --fail-on error,warning $(BUILD)/deb/tarnwick_$(VERSION)_*.changes && \
          echo "$(BUILD)/deb/tarnwick_$(VERSION)_all.deb: built, and lintian has nothing to say"

.PHONY: all image sign mok-cert deb iso run test test-in fuzz bench clean

all:
	@$(INSTALL) $(BUILD_PACKAGES)
	@$(images)

# SIGNED=1 puts the signed copies on the disk.
image:
	@$(INSTALL) $(BUILD_PACKAGES) $(DISK_PACKAGES) $(if $(SIGNED),$(SIGN_PACKAGES))
	@$(if $(SIGNED),$(check_key) && )$(images) $(if $(SIGNED),&& $(signed)) && $(disk)

# KEY=... CERT=... sign with that key; without them, with this machine's DKMS Machine Owner Key,
# or else, saying so, with Debian's OVMF test key.
sign:
	@$(INSTALL) $(BUILD_PACKAGES) $(SIGN_PACKAGES)
	@$(check_key) && $(images) && $(signed)

# The certificate of the key `make sign` uses, in DER, to enrol with mokutil.
mok-cert:
	@$(INSTALL) $(SIGN_PACKAGES)
	@$(PYTHON) -m tarnwick.sign --mok-cert "$(KEY)" "$(CERT)"

deb:
	@$(INSTALL) $(DEB_PACKAGES)
	@$(package)

iso:
	@$(INSTALL) $(ISO_PACKAGES)
	@$(images) && $(iso)

run:
	@$(INSTALL) $(BUILD_PACKAGES) python3 --machines $(MACHINE)
	@$(images) && $(PYTHON) -m tarnwick.qemu --machine $(MACHINE) $(BUILD)/esp

# CTest's summary says what passed; the figures of the fault, fuzz and soak runs follow it.
test:
	@$(INSTALL) $(TEST_PACKAGES) --machines all --unpack $(BUILD)/unpacked
	@$(everything) && $(disk) && $(iso) && $(package)
	@cd $(BUILD) && status=0 && { ctest --output-on-failure --timeout 300 --parallel 2 || status=$$?; } && \
	  grep -hE '^(fault injection|fuzz [a-z_]+|soak): ' Testing/Temporary/LastTest.log; exit $$status

# The tests in a fresh root of a Debian release, DIST=bookworm or DIST=trixie, as CI runs them.
test-in:
	@scripts/test-in.sh $(DIST)

fuzz:
	@$(INSTALL) $(BUILD_PACKAGES) $(HOST_PACKAGES)
	@$(call configure,ON) && cmake --build $(BUILD) --target fuzz_keys fuzz_lines
	@for target in keys lines; do \
	  scripts/run-fuzzer.sh $(BUILD)/fuzz_$$target tests/fuzz/corpus/$$target $(BUILD)/fuzz/$$target $(FUZZ_SECONDS) || exit 1; \
	done

# Measures and prints; writes the table to build/bench.txt.
bench:
	@$(INSTALL) $(TEST_PACKAGES) --machines all
	@$(everything) && $(disk) && $(PYTHON) -m tarnwick.bench

clean:
	rm -rf $(BUILD)
