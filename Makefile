# The two things a new user does: `make demo` and `make check`.
BUILD ?= build
PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build demo check install clean

all: build

deps:
	@scripts/install-deps

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

demo: deps build
	scripts/demo $(BUILD)

check: deps
	scripts/check

install: build
	install -d $(DESTDIR)$(PREFIX)/bin
	install -m 0755 $(BUILD)/vornelix $(BUILD)/vornctl $(DESTDIR)$(PREFIX)/bin/

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
