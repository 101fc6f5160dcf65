# The commands a person types.  Each first installs what the build needs.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# A compiler cache, where the machine has one, makes rebuilds of unchanged
# sources free; nothing depends on it.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

.PHONY: all deps build run test bench clean

all: build

deps:
	@scripts/install-deps

# The test build is sanitized; CI builds with warnings as errors.
build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DFW_SANITIZE=ON -DFW_WERROR=$(if $(CI),ON,OFF) $(LAUNCHER) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Hosts reach the controller over iSCSI on the loopback by default.
ARGS ?= --iscsi 127.0.0.1:3260

# The interactive controller: optimised, without the sanitizers of the test
# build, and beside it app/controller.img, the controller firmware image to
# send from the Controller Firmware Menu.  scripts/run-controller reads its
# exit status: the controller's own stops (halt, shutdown, reset) end the
# run well, a start that never came up fails it.
# It is configured once, when its build directory has no cache yet: the
# build itself configures again when a CMakeLists.txt changed, and a
# configure run on every start cost seconds before the controller came up.
# Other CMAKE_FLAGS take effect after `make clean`.
run: deps
	@[ -f $(BUILD_DIR)-run/CMakeCache.txt ] || cmake -S . -B $(BUILD_DIR)-run -G Ninja -DCMAKE_BUILD_TYPE=Release -DFW_TESTS=OFF $(LAUNCHER) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-run -j $(JOBS) --target controller controller-image
	scripts/run-controller $(BUILD_DIR)-run/app/controller $(ARGS)

test: build
	ctest --test-dir $(BUILD_DIR) -j $(JOBS) --output-on-failure --timeout 300

# The benchmarks also compare the controller program with a generic iSCSI
# target, which only they install.  Every one runs; any that failed are
# named at the end and make the run fail.
bench: deps
	@scripts/install-deps --bench
	cmake -S . -B $(BUILD_DIR)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFW_TESTS=OFF $(LAUNCHER)
	cmake --build $(BUILD_DIR)-bench -j $(JOBS) --target benchmarks
	@failed=""; for b in $(BUILD_DIR)-bench/bench/*_bench; do \
		[ -x "$$b" ] || continue; "$$b" || failed="$$failed $${b##*/}"; \
	done; [ -z "$$failed" ] || { echo "benchmarks that failed:$$failed" >&2; exit 1; }

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-bench $(BUILD_DIR)-run
