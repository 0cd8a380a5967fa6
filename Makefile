# vxrdeck: the two everyday commands are `make run` and `make test`.
.PHONY: deps test test-asan test-tsan run build clean

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

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

run: build
	@echo "The deck application arrives with the application work; see README.md for what runs today."

clean:
	rm -rf build
