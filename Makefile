# SPDX-License-Identifier: BSD-3-Clause
# Front door of the project. Every target installs what it needs first (Debian packages).
PRESETS := host host-release aarch64 qemu host-aarch64
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
RACE_REQUESTS ?= 100000

.PHONY: all deps configure build test plants bench bench-instr size lint format fuzz coverage demo race clean

all: build

deps:
	@./scripts/install-deps.sh

build/%/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset $* >/dev/null

configure: deps $(foreach p,$(PRESETS),build/$(p)/build.ninja)

build: configure
	@set -e; for p in $(PRESETS); do echo "== build $$p"; cmake --build --preset $$p -j $(JOBS); done

test: build build/fuzz/build.ninja
	cmake --build --preset fuzz -j $(JOBS)
	@./scripts/lint.sh
	@set -e; for p in host host-release fuzz qemu host-aarch64; do echo "== test $$p"; ctest --preset $$p -j $(JOBS); done
	@echo "== plants (fast subset)"; ./scripts/plants.py --fast --jobs $(JOBS)

# Plants every fault of tests/plants/ alone in a scratch copy and runs its threat row's proofs;
# writes tests/plants/results.txt, which the threat-model check reads.
plants: deps
	@./scripts/plants.py --jobs $(JOBS)

bench: deps build/host-release/build.ninja
	cmake --build --preset host-release -j $(JOBS)
	@./scripts/run-bench.sh build/host-release

bench-instr: deps build/host-release/build.ninja
	cmake --build --preset host-release -j $(JOBS)
	@./scripts/bench-instr.sh build/host-release

size: deps build/aarch64/build.ninja
	cmake --build --preset aarch64 -j $(JOBS)
	@./scripts/size-report.sh build/aarch64

lint: deps build/host/build.ninja
	@./scripts/lint.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

fuzz: deps
	@./scripts/fuzz.sh $(FUZZ_SECONDS)

coverage: deps
	@./scripts/coverage.sh

demo: deps
	@./scripts/demo.sh

# The real image against a second vCPU that rewrites the record while it serves RACE_REQUESTS
# random requests; `make test` runs a short pass of the same.
race: deps build/qemu/build.ninja
	cmake --build --preset qemu -j $(JOBS)
	python3 qemu/run-qemu.py --build-dir build/qemu --mode race --requests $(RACE_REQUESTS) \
	  --timeout 3600

clean:
	rm -rf build
