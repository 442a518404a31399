#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ core tests (ctest)
# and the Python tests (pytest), the latter against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v soffice >/dev/null || missing+=(libreoffice-writer-nogui)
command -v pdftotext >/dev/null || missing+=(poppler-utils)
command -v clang-format >/dev/null || missing+=(clang-format)
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

python3 -m pip install -q ".[test]"

git ls-files '*.h' '*.cc' '*.inc' | xargs clang-format --dry-run --Werror
python3 -m ruff check .

cmake -S . -B build/tests -DTESSERINE_TESTS=ON -DTESSERINE_MODULE=OFF -DTESSERINE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build/tests -j"$(nproc)"
ctest --test-dir build/tests --output-on-failure --no-tests=error

# The office round trip must run here, not be skipped.
TESSERINE_REQUIRE_OFFICE=1 python3 -m pytest tests/python

# A short, bounded fuzzing round of every target under ASan and UBSan.
bash fuzz/run.sh 30
