# The two set-up commands of README.md, and a few conveniences.
#   make test    install missing packages, build, run every test through CTest
#   make demo    install missing packages, build and run the flow-tracing demo,
#                which also writes its timeline to build/demo-timeline.{html,json},
#                then (as root) a device-wide flow checked by kelpwood-flows watch
#   make bench   build and run the benchmarks (Release build)
#   make deb     build the Debian packages into build-deb/ and run lintian
#   make install-test  install them into a fresh Debian 12 tree and test there
#   make abi-check  build, then check the exported symbols and compare the
#                shared object with the ABI kept in abi/ (abidiff)
#   make install build everything it installs, then cmake --install into
#                PREFIX (default /usr/local)
BUILD ?= build
BENCH_BUILD ?= build-bench
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
PREFIX ?= /usr/local

.PHONY: all deps configure build test demo bench abi-check deb install-test install clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target kelpwood_demo kelpwood-flows \
	  kelpwood_device_flow_step
	KELPWOOD_DEMO_TIMELINE=$(BUILD)/demo-timeline \
	  $(BUILD)/examples/kelpwood_demo examples/flows.yaml
	@# The device-wide flow needs a systemd-journald, which only root may start.
	@if [ "$$(id -u)" = 0 ]; then \
	  echo "== One device-wide flow, two processes, checked by kelpwood-flows watch"; \
	  cd $(BUILD) && sh $(CURDIR)/examples/device_flow_demo.sh; \
	else \
	  echo "(run make demo as root to see a device-wide flow checked by watch)"; \
	fi

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKELPWOOD_BUILD_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@set -e; for program in $(BENCH_BUILD)/bench/*/kelpwood_bench_*; do \
	  echo "== $$program"; "$$program" --benchmark_min_time=0.2 --benchmark_repetitions=5 \
	    --benchmark_enable_random_interleaving=true \
	    --benchmark_report_aggregates_only=true; done

deb:
	@scripts/install-deps.sh --deb
	JOBS=$(JOBS) scripts/deb-build.sh build-deb

install-test: deb
	scripts/install-test.sh build-deb
abi-check: build
	scripts/exported-symbols.sh $(BUILD)/libkelpwood_common_libs.so.1
	scripts/abi-check.sh $(BUILD)/libkelpwood_common_libs.so.1

# Builds every target first: "make demo" builds only what the demo runs.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) build-deb
