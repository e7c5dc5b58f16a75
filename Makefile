# The user's verbs.  Each one installs what is missing first.
#   make test   build every preset and run every test (the Debug build's unit tests only)
#   make run    show the program at work: its window under Wine, or without a display the
#               command-line converter
#   make bench  measure the conversion against cp and iconv
#   make fuzz   fuzz the conversion job and the IMAP layer for FUZZ_SECONDS (default 60)
#   make lint   run clang-tidy and cppcheck over src/ and tools/
#   make mutants  mutation testing of the native tests (hours; MUTANTS_ARGS=--sample 50 for
#               a sample): the survivors and the score
#   make dist   build the release zips of the last commit, in a clean clone, into dist/
#   make dist-check  build the release twice in two places and compare the zips and packages
#   make deb    build the Debian package of the last commit, in a clean clone, into dist/

NATIVE_PRESETS  := native sanitize debug
WINDOWS_PRESETS := win32 win64
JOBS            ?= 2
FUZZ_SECONDS    ?= 60

.PHONY: all deps build test run bench fuzz lint mutants dist dist-check deb clean

all: build

deps:
	@scripts/install-deps

build: deps
	@for p in $(NATIVE_PRESETS) $(WINDOWS_PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build build/$$p -j $(JOBS) || exit 1; \
	done

# Native tests directly, JOBS at a time; the Windows ones under Wine, on a virtual display,
# each preset in a fresh Wine prefix of its own, one at a time.
# Without 32-bit Wine (build/no-wine32, left by deps) the win32 tests cannot run: the rest
# runs, and the last lines say what did not and why.
test: build
	@for p in native sanitize; do ctest --preset $$p -j $(JOBS) || exit 1; done
	@# The Debug build (assertions on, nothing optimised away): its unit tests, a minute;
	@# the converter's script cases, ten more, run in the two builds above.
	@ctest --preset debug -j $(JOBS) -E '^converter_'
	@for p in $(WINDOWS_PRESETS); do \
	  if [ $$p = win32 ] && [ -e build/no-wine32 ]; then continue; fi; \
	  xvfb-run -a -s "-screen 0 1024x768x24" scripts/with-wine --unmanaged ctest --preset $$p || exit 1; \
	done
	@if [ -e build/no-wine32 ]; then \
	  echo "NOT RUN: the 32-bit Windows tests (preset win32) under Wine: $$(cat build/no-wine32)"; \
	fi

run: deps
	@scripts/gui-demo

bench: deps
	@bench/run

fuzz: deps
	@scripts/fuzz $(FUZZ_SECONDS)

lint: deps
	@scripts/lint

mutants: deps
	@scripts/mutants $(MUTANTS_ARGS)

dist: deps
	@scripts/dist

dist-check: deps
	@scripts/dist-check

deb: deps
	@scripts/deb

clean:
	rm -rf build dist
