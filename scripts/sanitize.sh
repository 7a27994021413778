#!/usr/bin/env bash
# Builds kvo_fa, kvo_mew and kvo_handy with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan and runs the whole test suite
# against that build. The interpreter is not instrumented, so the sanitizer
# runtime is preloaded; leaks that belong to the interpreter are suppressed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$here/build/asan
# The Python of scripts/test.sh (python_env.sh), with the test tools.
source "$here/scripts/python_env.sh"
use_python "$here"
need_headers "$py"
"$py" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore -r "$here/requirements-test.txt"
BUILD_TYPE=Debug bash "$here/scripts/devbuild" "$dir" -DKVO_SANITIZE=ON
asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
cd "$here"
export PYTHONPATH=$dir
export PYTHONMALLOC=malloc
export LD_PRELOAD="$asan $ubsan"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=0
export LSAN_OPTIONS=suppressions=$here/scripts/lsan.supp:print_suppressions=0
# The fuzzer's child runs under the sanitizers too, with fewer examples.
export KVO_FUZZ_EXAMPLES=${KVO_FUZZ_EXAMPLES:-8}
# Tests of packaging, a browser or a broker find no native code to check here
# that the normal run has not run: they skip.
export KVO_SANITIZER_RUN=1
# Leak checking covers the test process itself, which runs nearly all the
# native code; its child processes (CLIs, examples, the fuzzer's child) run
# under ASan and UBSan without it (tests/conftest.py), since LeakSanitizer's
# tracer crashes at the exit of children with many threads (matplotlib).
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec "$py" -m pytest -q -p no:cacheprovider --timeout=300 tests "$@"
