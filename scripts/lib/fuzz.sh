# shellcheck shell=bash
# Sourced by the scripts that build the libFuzzer targets.

# Any clang whose runtime has libFuzzer: Debian names it by version, Homebrew's
# llvm keeps it off the PATH, and Apple's clang has none.
fuzz_compiler() {
  local probe candidate
  probe=$(mktemp -d)
  printf '%s\n' 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
  for candidate in ${FUZZ_CXX:-} clang++-14 clang++-15 clang++-16 clang++-17 clang++-18 clang++-19 \
    clang++ /opt/homebrew/opt/llvm/bin/clang++ /usr/local/opt/llvm/bin/clang++; do
    command -v "$candidate" >/dev/null 2>&1 || continue
    if "$candidate" -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
      rm -rf "$probe"
      echo "$candidate"
      return 0
    fi
  done
  rm -rf "$probe"
  return 1
}

# fuzz_compiler_or_fail: prints fuzz_compiler's choice, or says what to
# install and fails.
fuzz_compiler_or_fail() {
  fuzz_compiler && return 0
  echo "no clang with libFuzzer found (Debian: clang-14 libclang-rt-14-dev;" \
    "macOS: brew install llvm); FUZZ_CXX names one" >&2
  return 1
}
