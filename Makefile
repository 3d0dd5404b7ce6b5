# SPDX-License-Identifier: BSD-2-Clause-Patent
# The front door: `make` builds the images, `make test` runs every test, `make run` boots the
# monitor. Each goal first installs what it needs and is missing (scripts/install-deps.sh): the
# build dependencies of debian/control, the test-only ones where it tests, and the QEMU and
# firmware of the machines it boots; then it makes its prerequisites, in order.

BUILD ?= build
PYTHON = TARNWICK_BUILD=$(BUILD) PYTHONPATH=scripts /usr/bin/python3
INSTALL := scripts/install-deps.sh
# make run boots x64/edk2, or ARCH/FIRMWARE (either may be left out), from the disk folder, or from
# BOOT=iso, or from the network: BOOT=pxe or http (UEFI HTTP Boot). MEDIUM=usb, nvme, scsi, ... boots
# the disk image from that medium of the machine instead, or the ISO image written to it. BOARD=rpi_3
# (a board by Debian's build of U-Boot for it) boots that board's SD card, as make image writes it.
MACHINE = $(or $(BOARD),$(ARCH)/$(FIRMWARE))
BOOT ?= disk
BOOT_FROM_disk = $(if $(BOARD),$(BUILD)/tarnwick-$(BOARD).img,$(if $(MEDIUM),$(BUILD)/tarnwick.img,$(BUILD)/esp))
BOOT_FROM_iso = $(BUILD)/tarnwick.iso
BOOT_FROM_pxe = --network pxe
BOOT_FROM_http = --network http
# On a desktop ($DISPLAY or $WAYLAND_DISPLAY) make run opens a window that is the machine's screen
# and keyboard, unless WINDOW=no; the serial console stays on this terminal either way.
WINDOWED = $(if $(filter no,$(WINDOW)),,$(DISPLAY)$(WAYLAND_DISPLAY))
FUZZ_SECONDS ?= 60
VERSION = $(shell sed -n '1s/.*(\(.*\)).*/\1/p' debian/changelog)
SHELL_SCRIPTS := .ci/run scripts/*.sh linux/tarnwick-install linux/30_tarnwick debian/postinst debian/postrm tests/e2e/linux-init

.PHONY: all image card cards check-board sign mok-cert deb iso run netboot check-boot check-medium check-server test test-in lint fuzz bench pictures clean images disk \
        iso-image package \
        signed check-key install-build install-tools install-sign install-machines install-run
.NOTPARALLEL:
# The goals that test build the host tests and fuzzers too.
test bench fuzz: TESTS = ON

all: install-build images
# SIGNED=1 puts the signed copies on the disk; BOARD=... writes that board's SD card instead.
image: $(if $(BOARD),check-board install-tools images card,$(if $(SIGNED),install-sign check-key signed,install-tools \
  images) disk)
iso: install-tools images iso-image
sign: install-sign check-key signed
deb: install-tools package
run: check-boot check-board install-run check-medium images $(if $(filter iso,$(BOOT)),install-tools iso-image) \
     $(if $(BOARD),install-tools card,$(if $(MEDIUM),$(if $(filter disk,$(BOOT)),install-tools disk)))
	@$(PYTHON) -m tarnwick.qemu --machine $(MACHINE) $(if $(WINDOWED),--window) $(if $(MEDIUM),--medium $(MEDIUM)) \
	  $(BOOT_FROM_$(BOOT))
check-boot:
	@$(if $(BOOT_FROM_$(BOOT)),true,echo "tarnwick: no BOOT=$(BOOT); BOOT is disk, iso, pxe or http" >&2; exit 1)
	@$(if $(MEDIUM),$(if $(filter disk iso,$(BOOT)),true,echo "tarnwick: MEDIUM=$(MEDIUM) is for BOOT=disk or iso, \
	  not the network" >&2; exit 1))
# Whether BOARD is a board, booted from its card.
check-board:
	@$(if $(BOARD),$(PYTHON) -m tarnwick.machines board $(BOARD))
	@$(if $(BOARD),$(if $(filter disk,$(BOOT)),true,echo "tarnwick: BOARD=$(BOARD) boots from its card, not \
	  BOOT=$(BOOT)" >&2; exit 1))
# Whether the machine's firmware, as installed, boots from MEDIUM.
check-medium:
	@$(if $(MEDIUM),$(PYTHON) -m tarnwick.machines medium $(MACHINE) $(MEDIUM))

# build/netboot: the images, scripts and dnsmasq configuration for a server at SERVER whose TFTP
# root the folder is copied to, ROOT.
ROOT ?= /srv/tftp
netboot: check-server install-build images
	@$(PYTHON) -m tarnwick.netboot $(if $(SERVER),--server $(SERVER)) --root $(ROOT) $(BUILD)/netboot
	@echo "$(BUILD)/netboot: copy it to $(ROOT) on the TFTP and HTTP server$(if $(SERVER), at $(SERVER)); see its dnsmasq.conf"
check-server:
	@$(PYTHON) -m tarnwick.netboot $(if $(SERVER),--server "$(SERVER)") --check

# The certificate of the key `make sign` uses, in DER, to enrol with mokutil.
mok-cert: install-sign
	@$(PYTHON) -m tarnwick.sign --mok-cert "$(KEY)" "$(CERT)"

# CTest's summary says what passed; the figures of the fault, fuzz and soak runs, what a person at
# the machines had to make good of the firmware's lapses (a key pressed again, a reset), and why a
# test was skipped follow it. A test a processor, and one more: a machine under test idles while it waits
# for a key's echo, a network server or a firmware's timeout.
test: install-machines images disk iso-image cards package
	@cd $(BUILD) && status=0 && { ctest --output-on-failure --timeout 300 --parallel $$(($$(nproc) + 1)) || \
	  status=$$?; } && \
	  grep -hE '^(fault injection|fuzz [a-z_]+|soak): ' Testing/Temporary/LastTest.log; \
	  grep -h '^firmware lapses: ' Testing/Temporary/LastTest.log || echo 'firmware lapses: none'; \
	  sed -n 's/^SKIPPED \[[0-9]*\] [^ ]*: /skipped: /p' Testing/Temporary/LastTest.log | \
	  grep -v 'empty parameter set' | sort -u; exit $$status

# The tests in a fresh root of each Debian release of DIST (bookworm, trixie, forky), as CI runs them.
test-in:
	@scripts/test-in.sh $(DIST)

# Formatting of the C++, shellcheck on every shell script, flake8 on the Python; from the files
# themselves, since CI's second leg has a copy of the tree without git.
lint: install-tools
	@clang-format --dry-run --Werror $$(find firmware monitor tests -name '*.cpp' -o -name '*.h')
	@shellcheck $(SHELL_SCRIPTS)
	@flake8 --max-line-length=120 scripts tests

fuzz: install-tools images
	@for target in keys lines; do \
	  scripts/run-fuzzer.sh $(BUILD)/fuzz_$$target tests/fuzz/corpus/$$target $(BUILD)/fuzz/$$target $(FUZZ_SECONDS) || exit 1; \
	done

# The README's pictures of the monitor on the firmware's screens, from real boots.
pictures: install-machines images disk
	@$(PYTHON) -m tarnwick.pictures docs

# Measures and prints; writes the table to build/bench.txt.
bench: install-machines images disk
	@$(PYTHON) -m tarnwick.bench

clean:
	rm -rf $(BUILD)

install-build:
	@$(INSTALL)
install-tools:
	@$(INSTALL) --tests
# OVMF brings the test key that signing takes when given none.
install-sign:
	@$(INSTALL) --tests --machines x64/edk2
install-machines:
	@$(INSTALL) --tests --machines all --unpack $(BUILD)/unpacked
install-run:
	@$(INSTALL) --machines $(MACHINE) $(if $(WINDOWED),--window)

# Configures and builds, with the host tests and fuzzers where TESTS is ON.
images:
	@cmake -S . -B $(BUILD) -G Ninja --no-warn-unused-cli -DCMAKE_CXX_COMPILER=clang++ \
	  $(if $(TESTS),-DTARNWICK_TESTS=ON) >/dev/null && cmake --build $(BUILD)
disk:
	@$(PYTHON) -m tarnwick.disk $(BUILD)/tarnwick.img $(BUILD)/$(if $(SIGNED),esp-signed,esp)
	@echo "$(BUILD)/tarnwick.img: a GPT disk with the EFI system partition"
# The board's U-Boot as Debian's package of its architecture has it, unpacked, and its card.
card:
	@$(INSTALL) --tests --unpack $(BUILD)/unpacked --boards $(BOARD)
	@$(PYTHON) -m tarnwick.disk --board $(BOARD) $(BUILD)/esp
# Every board's card whose U-Boot the release has.
cards:
	@$(PYTHON) -m tarnwick.disk --boards $(BUILD)/esp
iso-image:
	@$(PYTHON) -m tarnwick.disk --iso $(BUILD)/tarnwick.iso $(BUILD)/esp
	@echo "$(BUILD)/tarnwick.iso: an ISO image with an El Torito EFI boot image"
# KEY=... CERT=... sign with that key; without them, with this machine's DKMS Machine Owner Key,
# or else, saying so, with the test key that comes with OVMF. They are checked before anything is
# built, so that a mistake shows at once.
check-key:
	@$(PYTHON) -m tarnwick.sign --check "$(KEY)" "$(CERT)"
signed: images
	@$(PYTHON) -m tarnwick.sign "$(KEY)" "$(CERT)"
# The Debian package, built by dpkg-buildpackage from a copy of the tree and checked by lintian.
package:
	@rm -rf $(BUILD)/deb && mkdir -p $(BUILD)/deb/tarnwick-$(VERSION)
	@tar --exclude=./$(BUILD) --exclude=./.git -cf - . | tar -C $(BUILD)/deb/tarnwick-$(VERSION) -xf -
	@(cd $(BUILD)/deb/tarnwick-$(VERSION) && dpkg-buildpackage -us -uc) >$(BUILD)/deb/build.log 2>&1 || \
	  { tail -40 $(BUILD)/deb/build.log; exit 1; }
	@lintian --fail-on error,warning $(BUILD)/deb/tarnwick_$(VERSION)_*.changes
	@echo "$(BUILD)/deb/tarnwick_$(VERSION)_all.deb: built, and lintian has nothing to say"
