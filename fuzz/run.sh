#!/usr/bin/env bash
# Builds the fuzz targets and fuzzes each one for a bounded time; exits non-zero
# on any finding (crash, failed property check, leak, timeout, memory blow-up).
#
#   fuzz/run.sh [SECONDS]   SECONDS per target (default 35: five targets in about 3 minutes)
#   fuzz/run.sh tsan        builds and runs the ThreadSanitizer program
#
# The build goes to $TESSERINE_FUZZ_BUILD (default build/fuzz). Inputs that add
# coverage accumulate in <build>/corpus/<target>; the seeds in fuzz/corpus stay
# untouched. Findings are written to <build>/artifacts/; replay one with
# <build>/fuzz/fuzz_<target> <artifact>. fuzz/make_corpus.py regenerates the seeds.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${TESSERINE_FUZZ_BUILD:-build/fuzz}
targets=(patch_pipeline patch_pass pre_render post_render utf8)

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev
fi

configure() {
  CC=clang CXX=clang++ cmake -S . -B "$build" -DTESSERINE_FUZZ=ON -DTESSERINE_MODULE=OFF -DTESSERINE_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
}

if [ "${1:-}" = tsan ]; then
  configure
  cmake --build "$build" -j2 --target tsan_pipeline
  TSAN_OPTIONS="halt_on_error=1" "$build/fuzz/tsan_pipeline"
  exit
fi

seconds=${1:-35}
configure
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
failed=()
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  log="$build/$target.log"
  echo "== fuzz_$target for ${seconds}s"
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=16384 -dict=fuzz/markup.dict -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
  else
    failed+=("$target")
    grep -E 'ERROR|check failed|internal fault|escaped|Unchanged after|fell back|invalid UTF-8|Test unit written' "$log" | head -20 || true
    echo "   full log: $log"
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "fuzzing found nothing in ${#targets[@]} targets"
