# Convenience targets around CMake. `make run` builds the machine and runs examples/hello.tasm;
# `make test` builds everything and runs every test; `make asan` does the same under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/. Each first checks (and as root
# installs) what the build needs, with scripts/deps.sh. `make plain` builds the machine without its
# shortcuts in build-plain/, runs the suite there and compares every program's run with build/'s.
# `make install PREFIX=DIR` installs the tools, the embedding library and the documents under DIR
# (/usr/local by default); `make package` builds the Debian package in build/package/.

BUILD      := build
ASAN_BUILD := build-asan
STRESS_BUILD := build-stress
PLAIN_BUILD := build-plain
JOBS       := 2
PREFIX     ?= /usr/local

.PHONY: all deps configure build run test install package asan stress plain clean

all: build

deps:
	@bash scripts/deps.sh

# Ninja when it is installed, Unix Makefiles otherwise. An existing build directory keeps the
# generator it was made with; CMake re-runs itself from there whenever the CMakeLists change.
# The program tests start Python once each, so they get the interpreter itself, not the wrapper
# script that python3 on the PATH can be (version managers put such wrappers there).
define configure_dir
	@if [ -f $(1)/CMakeCache.txt ]; then \
	    cmake -S . -B $(1) $(2) >/dev/null; \
	else \
	    if command -v ninja >/dev/null 2>&1; then gen=Ninja; else gen="Unix Makefiles"; fi; \
	    python=$$(python3 -c 'import sys; print(sys.executable)'); \
	    cmake -S . -B $(1) -G "$$gen" -DPython3_EXECUTABLE="$$python" $(2); \
	fi
endef

configure: deps
	$(call configure_dir,$(BUILD),)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: configure
	cmake --build $(BUILD) -j$(JOBS) --target t4vm t4asm
	$(BUILD)/t4asm examples/hello.tasm -o $(BUILD)/hello.t4b
	$(BUILD)/t4vm $(BUILD)/hello.t4b

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# CPack's DEB generator, from the same install rules; dpkg-shlibdeps computes the dependencies.
package: build
	cmake --build $(BUILD) --target package

# The sanitizer build also collects garbage at every 5th safe point, so an object the collector
# frees while the machine still holds it shows up as a use after free; leak checking is on.
asan: deps
	$(call configure_dir,$(ASAN_BUILD),-DT4VM_SANITIZE=ON -DT4VM_GC_STRESS=5)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	@# Sanitized frames are several times larger, so the deliberately deep (1000-level) parser
	@# and decoder tests get the stack they would have in a normal build.
	ulimit -s 65536 && ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# The sanitizer build gives every object its own allocation; this one runs the suite on the pooled
# heap the machine normally uses, collecting at every 3rd safe point, so the sweep of the pool
# meets every kind of object the tests make.
stress: deps
	$(call configure_dir,$(STRESS_BUILD),-DT4VM_GC_STRESS=3)
	cmake --build $(STRESS_BUILD) -j$(JOBS)
	ctest --test-dir $(STRESS_BUILD) --output-on-failure -j$(JOBS)

# The plain build takes none of the shortcuts decided in src/vm/shortcuts.h and follows the copy
# rules literally. It must pass the suite on its own; then it is the oracle: every program test,
# example, documented example and machine fuzz input runs on both builds (tests/plain/compare.py),
# and any byte of output, report or exit status that differs is a shortcut a program can observe.
plain: build
	$(call configure_dir,$(PLAIN_BUILD),-DT4VM_PLAIN=ON)
	cmake --build $(PLAIN_BUILD) -j$(JOBS)
	ctest --test-dir $(PLAIN_BUILD) --output-on-failure -j$(JOBS)
	python3 tests/plain/compare.py -j$(JOBS) $(BUILD) $(PLAIN_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(STRESS_BUILD) $(PLAIN_BUILD)
