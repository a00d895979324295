# The two commands of the README: `make run` and `make test`.
BUILD_DIR    ?= build
ASAN_DIR     ?= build-asan
FUZZ_DIR     ?= build-fuzz
JOBS         ?= $(shell nproc)
CASTER_ARGS  ?=

.PHONY: all deps tools build run test test-sanitize fuzz clean

all: build

deps:
	@scripts/ensure-deps.sh build

# The independent programs the tests judge our streams with. CASTER_NO_TOOLS=1
# runs the suite without them: their checks are then skipped, not failed.
tools:
	@case "$$CASTER_NO_TOOLS" in ""|0) scripts/ensure-deps.sh tools ;; esac

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The shipped magnetic model goes into run/ only when run/ has none of its own.
run: build
	@mkdir -p run
	@[ -e run/WMM.COF ] || [ -L run/WMM.COF ] || cp tests/data/WMM.COF run/WMM.COF
	@cd run && exec ../$(BUILD_DIR)/caster $(CASTER_ARGS)

test: tools build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --repeat until-pass:2

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: tools deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DCASTER_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	@cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS) --repeat until-pass:2

# Short bounded libFuzzer runs of the parsers (clang).
fuzz: deps
	@scripts/ensure-deps.sh fuzz
	@CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=Debug -DCASTER_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS)
	@scripts/run-fuzzers.sh $(FUZZ_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR)
