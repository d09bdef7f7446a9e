# The README's commands. Builds go to build/ (the programs, benchmarks and black-box tests, optimised) and
# build-asan/ (the unit tests under the sanitizers).
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
# Line tables only (-g1): enough for a debugger's backtrace, a profiler and the sanitizers' reports,
# and a fifth less compile time than full debug information.
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENCODE_WERROR=ON -DENCODE_TEST_LABELS=integration \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
ASAN_FLAGS ?= -DCMAKE_BUILD_TYPE=Debug -DENCODE_WERROR=ON -DENCODE_SANITIZE=ON -DENCODE_BENCH=OFF \
  -DENCODE_TEST_LABELS=unit -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1

.PHONY: all deps build test asan-build unit-asan tsan tsan-faults bench demo fuzz soak clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Each test runs once: the black-box tests against the optimised programs, the unit tests under
# AddressSanitizer and UndefinedBehaviorSanitizer (their build compiles while the black-box tests run).
test: deps build
	@bash scripts/test.sh $(BUILD) $(ASAN_BUILD) $(JOBS) "$(MAKE)"

asan-build:
	cmake -S . -B $(ASAN_BUILD) $(ASAN_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The unit tests alone, under the sanitizers.
unit-asan: asan-build
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS) -L unit --timeout 300

# Every test again under ThreadSanitizer (not part of make test: it doubles the build time).
TSAN_BUILD ?= build-tsan
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENCODE_WERROR=ON -DENCODE_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread -Wno-tsan" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=suppressions=$(CURDIR)/tests/tsan.supp ctest --output-on-failure -j $(JOBS) --timeout 600 -E 'Death'

# The programs under ThreadSanitizer, running the fault suite's main run (every output at once with
# its peers broken): any report fails. CI runs it after make test.
tsan-faults: deps build
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENCODE_WERROR=ON -DENCODE_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread -Wno-tsan" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target encode rtsp_server
	@bash scripts/tsan_faults.sh $(BUILD) $(TSAN_BUILD)

bench: deps build
	@bash scripts/bench.sh $(BUILD)

# Builds only the programs the box runs (scripts/demo.sh), not the tests.
demo: deps $(BUILD)/CMakeCache.txt
	@JOBS=$(JOBS) bash scripts/demo.sh $(BUILD)

# The box left running with every output on and clients coming and going (SOAK_MINUTES, default 60);
# prints a table of RSS, descriptors and threads and a verdict. Not part of make test.
SOAK_MINUTES ?= 60
soak: deps build
	SOAK_MINUTES=$(SOAK_MINUTES) /usr/bin/python3 bench/soak.py --build $(BUILD)

# The libFuzzer harnesses of tests/fuzz/ (every *_fuzz.cpp), FUZZ_TIME seconds each; not part of make test.
FUZZ_TIME ?= 30
fuzz:
	@bash scripts/fuzz.sh $(FUZZ_TIME)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
