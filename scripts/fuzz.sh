#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build/fuzz and runs each for SECONDS (default 60), starting from the committed seed corpus
# in fuzz/corpus/<target>, FUZZ_PARALLEL (default 2) targets at a time. Prints executions,
# coverage and findings per target; the exit status is 1 when any target found something (its
# inputs are kept in build/fuzz/findings/<target>).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      targets: deck_frame framer receive_loop skin bitmap
#                                              tml movie_probe control_parser (default: all)
set -euo pipefail

seconds="${1:-60}"
shift || true
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${root}/build/fuzz"
all_targets=(deck_frame framer receive_loop skin bitmap tml movie_probe control_parser)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ is missing (apt-get install clang libclang-rt-dev)" >&2
  exit 2
fi

CC=clang CXX=clang++ cmake -S "${root}" -B "${build}" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVXR_FUZZ=ON -DVXR_SANITIZE=address,undefined \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "${build}" -j"${FUZZ_JOBS:-2}" --target "${targets[@]/%/_fuzzer}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# Runs one target for the set time; its output goes to its log, its exit code to its .rc file.
run_target() {
  local target="$1"
  local corpus="${build}/corpus/${target}"
  local findings="${build}/findings/${target}"
  mkdir -p "${corpus}" "${findings}"
  rm -f "${findings}"/*
  set +e
  # The first folder collects what the run finds new; the committed seeds are only read.
  "${build}/bin/${target}_fuzzer" -max_total_time="${seconds}" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="${findings}/" "${corpus}" "${root}/fuzz/corpus/${target}" \
    >"${logs}/${target}.log" 2>&1
  echo $? >"${logs}/${target}.rc"
}

# FUZZ_PARALLEL targets at a time (default 2, one a core on a 2-core machine); each still runs
# for the full SECONDS.
parallel="${FUZZ_PARALLEL:-2}"
logs="${build}/logs"
mkdir -p "${logs}"
running=0
for target in "${targets[@]}"; do
  if [ "${running}" -ge "${parallel}" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "== ${target}: ${seconds} s"
  rm -f "${logs}/${target}.rc"
  run_target "${target}" &
  running=$((running + 1))
done
wait

status=0
summary=()
for target in "${targets[@]}"; do
  findings="${build}/findings/${target}"
  log="${logs}/${target}.log"
  rc="$(cat "${logs}/${target}.rc" 2>/dev/null || echo "?")"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -1)"
  cov="$(grep -o 'cov: [0-9]* ft: [0-9]*' "${log}" | tail -1)"
  found="$(find "${findings}" -type f | wc -l)"
  if [ "${rc}" != 0 ] || [ "${found}" -ne 0 ]; then
    status=1
    found="${found} (exit ${rc}; see ${log})"
    grep -m3 -E "ERROR|SUMMARY|runtime error|: [a-z ]+:" "${log}" || true
  fi
  summary+=("$(printf '%-14s executions %-10s %-22s findings %s' "${target}" "${runs:-0}" "${cov:-cov: ?}" "${found}")")
done

echo
echo "fuzz summary (${seconds} s each)"
printf '%s\n' "${summary[@]}"
exit "${status}"
