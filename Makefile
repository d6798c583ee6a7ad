# The two things a new user does: `make demo` and `make check`.
BUILD ?= build
PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build demo check stress install clean

all: build

deps:
	@scripts/install-deps

# The two programs only, as build/vornelix and build/vornctl; the tests are
# built by `make check` and `make stress`.
build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target vornelix vornctl

demo: deps build
	scripts/demo $(BUILD)

check: deps
	scripts/check

# The stress test of `make check`, longer: every case with STRESS_PROCS
# processes of STRESS_OPS operations each (minutes, not part of check).
STRESS_PROCS ?= 8
STRESS_OPS ?= 20000
stress: build
	cmake --build $(BUILD) -j $(JOBS) --target e2e_tests
	@if VORNELIX_STRESS_PROCS=$(STRESS_PROCS) VORNELIX_STRESS_OPS=$(STRESS_OPS) \
	    $(BUILD)/e2e_tests --gtest_filter='stress/*'; then \
	    echo "stress: passed ($(STRESS_PROCS) processes x $(STRESS_OPS) operations per case)"; \
	else echo "stress: FAILED"; exit 1; fi

# The two programs side by side (the daemon finds the control program
# beside itself) and their manual pages.
install: build
	install -d $(DESTDIR)$(PREFIX)/bin $(DESTDIR)$(PREFIX)/share/man/man8
	install -m 0755 $(BUILD)/vornelix $(BUILD)/vornctl $(DESTDIR)$(PREFIX)/bin/
	install -m 0644 man/vornelix.8 man/vornctl.8 $(DESTDIR)$(PREFIX)/share/man/man8/

clean:
	rm -rf $(BUILD) build-asan build-tsan demo

# Performance against libfuse's passthrough (scripts/bench, as root; never
# part of check). REPEAT=N for more rounds, BENCH_EXT4=1 for ext4 images,
# VORNELIX_BASELINE=/path/to/old/vornelix to compare with an older build.
.PHONY: bench bench-ext4
bench:
	@scripts/install-bench-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target vornelix bench_ops
	scripts/bench $(BUILD)

bench-ext4:
	$(MAKE) bench BENCH_EXT4=1

# The online resync against cp -a of the same tree, and a writer while it
# runs (scripts/bench-resync, as root).
.PHONY: bench-resync
bench-resync:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target vornelix vornctl
	scripts/bench-resync $(BUILD)
