# vxrdeck: the two everyday commands are `make run` and `make test`.
.PHONY: deps test test-asan test-tsan run build bench fuzz soak clean format format-check \
  package package-check

# A compiler cache (ccache, wired in by CMakeLists.txt) shares its hits between clones in other
# folders when paths are taken relative to the clone's root.
export CCACHE_BASEDIR ?= $(CURDIR)

deps:
	@./scripts/install-deps.sh

build: deps
	cmake --preset dev
	cmake --build --preset dev

test: build
	ctest --preset dev

test-asan: deps
	cmake --preset asan-ubsan
	cmake --build --preset asan-ubsan
	ctest --preset asan-ubsan

# ThreadSanitizer covers the threaded core: the control port, the player, the board and the deck.
# The cases run in parallel through CTest, TSAN_JOBS at a time.
TSAN_PROGRAMS = protocol_tests player_tests integration_tests deck_tests board_media_tests \
  board_server_tests board_program_tests sink_stream_tests reliability_tests netctl_tests \
  library_tests web_tests sink_thumbnail_tests
TSAN_APP_FILTER = ^DeckEndToEnd
TSAN_JOBS ?= 3
TSAN_CTEST = ctest --test-dir build/tsan -j$(TSAN_JOBS) --output-on-failure --timeout 600 --no-tests=error
test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan --target $(TSAN_PROGRAMS) app_tests
	@echo "== ThreadSanitizer: $(TSAN_PROGRAMS) and app_tests -R '$(TSAN_APP_FILTER)'"
	TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/cmake/third_party.tsan.supp" \
	  $(TSAN_CTEST) -L '^($(subst $(eval) ,|,$(strip $(TSAN_PROGRAMS))))$$'
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_CTEST) -L '^app_tests$$' -R '$(TSAN_APP_FILTER)'

# Benchmarks print figures; they are not tests.
bench: build
	build/dev/bin/reply_latency --frames 2000
	build/dev/bin/position_accuracy
	build/dev/bin/monitor_accuracy
	build/dev/bin/idle_cpu
	build/dev/bin/stream_output
	build/dev/bin/screen_output
	build/dev/bin/control_latency
	build/dev/bin/web_pages
	build/dev/bin/thumbnail

# Fuzzing with libFuzzer (clang): every target for SECONDS (default 60) from fuzz/corpus/.
fuzz: deps
	scripts/fuzz.sh $(or $(SECONDS),60)

# The real program driven over a pty for SECONDS (default 600), with memory sampled.
soak: build
	build/dev/bin/soak --seconds $(or $(SECONDS),600)

# Starts the deck from bin/, next to its skin and the sample tape, so that the status label's file
# dialog opens on sample.avi. Options go in ARGS: make run ARGS="--port /dev/ttyUSB0".
run: build
	cd build/dev/bin && exec ./vxrdeck $(ARGS)

# The Debian package from the dev build (no build of its own): build/dev/package/vxrdeck_*.deb.
package: build
	cd build/dev && cpack --config CPackConfig.cmake

# The package as Debian's checker sees it: lintian must find no error (warnings are listed and
# justified in the README), and the unit of an instance must verify.
package-check: package
	scripts/check-package.sh build/dev/package

# One format for every C++ file (.clang-format); CI checks it.
format: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format -i
format-check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build
