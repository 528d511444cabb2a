# make test  - install what is missing (apt-get, as root), build from scratch,
#              run the C++ tests (plain, ThreadSanitizer) and the Python tests
#              (test build, AddressSanitizer+UBSan build, pip-installed wheel, an
#              editable install),
#              and type-check the installed stubs and package (stubtest, mypy)
# make demo  - build the module and replay a stream of chat events into it
# make bench - C++ and Python benchmarks: build/bench/results.json and ratios.png

PYTHON   ?= /usr/bin/python3
BUILD    ?= build
CMAKE_GEN = -G Ninja
JOBS     ?= $(shell nproc)

APT_PACKAGES = g++ cmake ninja-build python3-dev python3-pip python3-venv \
               python3-pytest python3-hypothesis python3-numpy python3-exceptiongroup python3-tomli python3-mypy \
               libgtest-dev libgmock-dev libbenchmark-dev libabsl-dev clang libclang-rt-14-dev \
               python3-matplotlib libsimdjson-dev rapidjson-dev

ASAN_RT  = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
# libstdc++ is preloaded too, or ASan cannot intercept C++ throws in a
# module that the (C) interpreter dlopens.
SAN_ENV  = LD_PRELOAD="$(ASAN_RT)" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: test demo bench deps layers cpp-test tsan-test py-test asan-test install-test abi3-test fuzz fuzz-short \
        fuzz-build clean

test: deps
	rm -rf $(BUILD)
	$(MAKE) layers cpp-test py-test abi3-test asan-test tsan-test fuzz-short install-test

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	  else echo "missing Debian packages (run as root to install):$$missing"; exit 1; fi; \
	fi

# No include runs upward, and only module/ sees the interpreter.
layers:
	tools/check_layers.sh

$(BUILD)/debug/build.ninja:
	cmake -S . -B $(BUILD)/debug $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARNWICK_TEST_HOOKS=ON -DTARNWICK_PY_OUT=$(CURDIR)/$(BUILD)/hooks

$(BUILD)/asan/build.ninja:
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DTARNWICK_SANITIZER=address -DTARNWICK_TEST_HOOKS=ON -DTARNWICK_PY_OUT=$(CURDIR)/$(BUILD)/asan-py

$(BUILD)/tsan/build.ninja:
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARNWICK_SANITIZER=thread -DTARNWICK_PYTHON=OFF

cpp-test: $(BUILD)/debug/build.ninja
	cmake --build $(BUILD)/debug -j $(JOBS)
	ctest --test-dir $(BUILD)/debug --output-on-failure

py-test: $(BUILD)/debug/build.ninja
	cmake --build $(BUILD)/debug -j $(JOBS) --target tarnwick_ext
	cd tests/python && PYTHONPATH=$(CURDIR)/$(BUILD)/hooks:$(CURDIR)/python $(PYTHON) -m pytest -q -p no:cacheprovider .

# One abi3 build, every CPython from 3.9 on that this machine has (pyenv's),
# with Debian's pure-Python pytest on the path.
PYENV_PYTHONS = $(wildcard $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)/versions/3.*/bin/python)
abi3-test: py-test
	@for py in $(PYENV_PYTHONS); do \
	  $$py -c 'import sys; sys.exit(sys.version_info < (3, 9))' || continue; \
	  echo "== $$($$py -V)"; \
	  (cd tests/python && PYTHONPATH=$(CURDIR)/$(BUILD)/hooks:$(CURDIR)/python:/usr/lib/python3/dist-packages \
	    $$py -m pytest -q -p no:cacheprovider -W ignore::DeprecationWarning .) || exit 1; \
	done

asan-test: $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS) --target tarnwick_ext
	@echo "== ASan+UBSan, every Python object on the checked heap"
	cd tests/python && $(SAN_ENV) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONMALLOC=malloc \
	  PYTHONPATH=$(CURDIR)/$(BUILD)/asan-py:$(CURDIR)/python $(PYTHON) -m pytest -q -p no:cacheprovider -x .
	@# The suppressions match the allocating frame's module, not its symbol,
	@# so this pass works with or without python3.11-dbg installed.
	@echo "== ASan+UBSan with leak checking (the interpreter's own allocations suppressed)"
	cd tests/python && $(SAN_ENV) ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  PYTHONPATH=$(CURDIR)/$(BUILD)/asan-py:$(CURDIR)/python $(PYTHON) -m pytest -q -p no:cacheprovider -x .

tsan-test: $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/tsan --output-on-failure

# make fuzz: for FUZZ_SECONDS, side by side, libFuzzer (half the time over
# the map and the record blob, checked against std::map; half over gateway
# frames parsed and applied, seeded from tests/fuzz/frames: a refused frame
# changes nothing and the kept counts agree with a walk) and a hostile
# hypothesis-driven run
# of every constructor, guild method and module function against the
# ASan+UBSan build (the package tests/fuzz/hostile, which restarts its child
# after a crash and prints each crash's reproducer).  Fails on any crash,
# hang or PanicException from ordinary input.  make fuzz-short is the same for
# FUZZ_SHORT_SECONDS, as part of make test.  --strict-interrupts: a
# KeyboardInterrupt or SystemExit raised in a callback must end the call
# with that very exception, never be swallowed.
FUZZ_SECONDS ?= 600
FUZZ_SHORT_SECONDS ?= 20
HOSTILE_FLAGS ?= --strict-interrupts
HOSTILE_SHORT_FLAGS ?=
CORE_SOURCES = $(wildcard src/core/*.cpp)
FRAME_SOURCES = $(CORE_SOURCES) $(wildcard src/records/*.cpp) $(wildcard src/registry/*.cpp)
HOSTILE = $(SAN_ENV) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONMALLOC=malloc \
          PYTHONPATH=$(CURDIR)/$(BUILD)/asan-py:$(CURDIR)/python:$(CURDIR)/tests/fuzz $(PYTHON) -m hostile run

fuzz-build: $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS) --target tarnwick_ext
	mkdir -p $(BUILD)/fuzz/corpus $(BUILD)/fuzz/frames
	cp tests/fuzz/frames/* $(BUILD)/fuzz/frames/
	clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Wall -Wextra -Werror -Isrc \
	  -DSIMDJSON_THREADS_ENABLED=1 tests/fuzz/fuzz_map.cpp $(CORE_SOURCES) -lsimdjson -o $(BUILD)/fuzz/fuzz_map
	clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Wall -Wextra -Werror -Isrc \
	  -DSIMDJSON_THREADS_ENABLED=1 tests/fuzz/fuzz_frame.cpp $(FRAME_SOURCES) -lsimdjson -o $(BUILD)/fuzz/fuzz_frame

# Both runs go to the end; the exit status says whether either found anything.
define run_fuzz
	@( $(BUILD)/fuzz/fuzz_map -max_total_time=$$(( ($(1) + 1) / 2 )) -print_final_stats=1 \
	    -artifact_prefix=$(BUILD)/fuzz/ $(BUILD)/fuzz/corpus > $(BUILD)/fuzz/log 2>&1 && \
	  $(BUILD)/fuzz/fuzz_frame -max_total_time=$$(( ($(1) + 1) / 2 )) -print_final_stats=1 -max_len=8192 \
	    -dict=tests/fuzz/frames.dict -artifact_prefix=$(BUILD)/fuzz/ $(BUILD)/fuzz/frames \
	    > $(BUILD)/fuzz/frame-log 2>&1 ) & lf=$$!; \
	rm -rf $(BUILD)/fuzz/hostile; \
	$(HOSTILE) --seconds $(1) --out $(BUILD)/fuzz/hostile $(2) 2>$(BUILD)/fuzz/hostile.err; hs=$$?; \
	wait $$lf; ls=$$?; \
	echo "== libFuzzer (fuzz_map, then fuzz_frame)"; \
	if [ $$ls -ne 0 ]; then tail -40 $(BUILD)/fuzz/log; tail -40 $(BUILD)/fuzz/frame-log 2>/dev/null; \
	else grep -hE "^Done|exec_per_sec" $(BUILD)/fuzz/log $(BUILD)/fuzz/frame-log; fi; \
	if [ $$hs -gt 1 ]; then echo "hostile run failed to run:"; tail -20 $(BUILD)/fuzz/hostile.err; fi; \
	[ $$ls -eq 0 ] && [ $$hs -eq 0 ]
endef

fuzz: fuzz-build
	$(call run_fuzz,$(FUZZ_SECONDS),$(HOSTILE_FLAGS))

fuzz-short: fuzz-build
	$(call run_fuzz,$(FUZZ_SHORT_SECONDS),$(HOSTILE_SHORT_FLAGS) $(HOSTILE_FLAGS))

# The shipped build: pip builds the wheel and installs it into a fresh venv;
# the installed module must need the JSON parser's runtime package
# (libsimdjson14) and no build package (tools/check_needed.sh); the Python
# tests run against that installed copy from outside the source tree, and
# the installed stubs and inline types are checked: stubtest against the
# module, mypy --strict over tarnwick_extras and the two examples (with the
# test modules the demo imports), and mypy --strict must refuse
# tests/typing/refused.py with exactly the errors its "# refused:" comments
# give, at their lines (a call mistyped through each spelling of the import
# of tarnwick_extras.cache).  Then pip install -e . into a fresh venv: both
# packages must import from the source tree.
# stubtest runs again on Python 3.9, where the record classes have no text
# signatures, if pyenv has a 3.9 (Debian's mypy is pure Python there).
PY39      = $(firstword $(wildcard $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)/versions/3.9*/bin/python))
TYPING    = $(CURDIR)/tests/typing
STUBTEST  = -m mypy.stubtest --mypy-config-file $(TYPING)/mypy.ini tarnwick tarnwick_extras
MYPY      = -m mypy --strict --config-file $(TYPING)/mypy.ini --cache-dir $(CURDIR)/$(BUILD)/mypy-cache
install-test:
	rm -rf $(BUILD)/venv $(BUILD)/venv39 $(BUILD)/venv-editable $(BUILD)/dist
	$(PYTHON) -m venv --system-site-packages $(BUILD)/venv
	$(BUILD)/venv/bin/python -m pip wheel -q --no-build-isolation --no-index --no-deps -w $(BUILD)/dist .
	$(BUILD)/venv/bin/python -m pip install -q --no-index $(BUILD)/dist/tarnwick-*.whl
	cd / && $(CURDIR)/$(BUILD)/venv/bin/python -W error -c "import tarnwick, tarnwick_extras; print('installed:', tarnwick.__file__)"
	@so=$$(ls $(BUILD)/venv/lib/python3*/site-packages/tarnwick.abi3.so); \
	exported=$$(nm -D --defined-only $$so | awk '$$2 ~ /[TDBRVW]/ {print $$3}' | sort | tr '\n' ' '); \
	if [ "$$exported" != "PyInit_cache PyInit_tarnwick " ]; then echo "unexpected exports: $$exported"; exit 1; fi; \
	echo "exports: $$exported"; \
	tools/check_needed.sh $$so libsimdjson.so.14=libsimdjson14
	cd tests/python && $(CURDIR)/$(BUILD)/venv/bin/python -m pytest -q -p no:cacheprovider .
	@echo "== stubtest, $$($(BUILD)/venv/bin/python -V)"
	cd / && $(CURDIR)/$(BUILD)/venv/bin/python $(STUBTEST)
	@echo "== mypy --strict: the installed tarnwick_extras, examples/bot.py, examples/demo.py (and what it imports from tests/python)"
	cd / && $(CURDIR)/$(BUILD)/venv/bin/python $(MYPY) -p tarnwick_extras
	MYPYPATH=$(CURDIR)/tests/python $(BUILD)/venv/bin/python $(MYPY) examples/bot.py examples/demo.py
	@echo "== mypy --strict refuses tests/typing/refused.py, at the lines marked and nowhere else"
	@cd / && got=$$($(CURDIR)/$(BUILD)/venv/bin/python $(MYPY) $(TYPING)/refused.py); status=$$?; \
	want=$$(grep -n '# refused: ' $(TYPING)/refused.py | sed 's/^\([0-9]*\):.*# refused: /\1: error: /'); \
	errors=$$(printf '%s\n' "$$got" | grep ': error: ' | sed 's/^[^:]*://'); \
	printf '%s\n' "$$got"; \
	if [ $$status -ne 1 ] || [ -z "$$want" ] || [ "$$errors" != "$$want" ]; then \
	  printf 'expected exactly:\n%s\n' "$$want"; exit 1; fi
	@echo "== pip install -e . into a fresh venv"
	$(PYTHON) -m venv $(BUILD)/venv-editable
	$(BUILD)/venv-editable/bin/python -m pip install -q --no-build-isolation --no-index -e .
	cd / && $(CURDIR)/$(BUILD)/venv-editable/bin/python -W error -c "import tarnwick, tarnwick_extras; \
	  import tarnwick_extras.cache as c; \
	  assert tarnwick.__file__ == '$(CURDIR)/build/editable/tarnwick.abi3.so', tarnwick.__file__; \
	  assert tarnwick_extras.__file__ == '$(CURDIR)/python/tarnwick_extras/__init__.py', tarnwick_extras.__file__; \
	  print('editable:', tarnwick.__file__, tarnwick_extras.__file__, c.message_limit())"
	@if [ -n "$(PY39)" ]; then \
	  echo "== stubtest, $$($(PY39) -V)"; \
	  $(PY39) -m venv $(BUILD)/venv39 && \
	  $(BUILD)/venv39/bin/python -m pip install -q --no-index $(BUILD)/dist/tarnwick-*.whl && \
	  cd / && PYTHONPATH=/usr/lib/python3/dist-packages $(CURDIR)/$(BUILD)/venv39/bin/python $(STUBTEST); \
	else echo "== no Python 3.9 found: stubtest ran on $$($(PYTHON) -V) only"; fi

demo: deps
	cmake -S . -B $(BUILD)/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTARNWICK_PY_OUT=$(CURDIR)/$(BUILD)/release-py
	cmake --build $(BUILD)/release -j $(JOBS) --target tarnwick_ext
	PYTHONPATH=$(CURDIR)/$(BUILD)/release-py:$(CURDIR)/python $(PYTHON) examples/demo.py $(ARGS)

# The release module and the C++ suite.  Writes $(BUILD)/bench/results.json
# and $(BUILD)/bench/ratios.png.
# (make bench ARGS=--quick for a smoke run of the Python suite.)
CPP_BENCH_ARGS ?= --benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_display_aggregates_only=true
bench: deps
	cmake -S . -B $(BUILD)/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BENCHMARKS=ON \
	  -DTARNWICK_PY_OUT=$(CURDIR)/$(BUILD)/release-py
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/tarnwick_bench $(CPP_BENCH_ARGS) \
	  --benchmark_out=$(BUILD)/bench/cpp.json --benchmark_out_format=json
	PYTHONPATH=$(CURDIR)/$(BUILD)/release-py:$(CURDIR)/python $(PYTHON) benchmarks/python/bench_cache.py \
	  --cpp-json $(BUILD)/bench/cpp.json \
	  --out $(BUILD)/bench/results.json --png $(BUILD)/bench/ratios.png $(ARGS)
	PYTHONPATH=$(CURDIR)/$(BUILD)/release-py:$(CURDIR)/python $(PYTHON) benchmarks/python/bench_payloads.py
	PYTHONPATH=$(CURDIR)/$(BUILD)/release-py:$(CURDIR)/python $(PYTHON) benchmarks/python/bench_pauses.py \
	  --json $(BUILD)/bench/pauses.json $(filter --quick,$(ARGS))

clean:
	rm -rf $(BUILD)
