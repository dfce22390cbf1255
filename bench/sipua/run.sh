#!/bin/sh
# Builds and runs the sipua benchmarks: ua_connect-to-INVITE latency, and
# 200 calls at 20 calls/s answered by sipua and by Debian's baresip.
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_sipua_connect bench_sipua_answer
"$build/bench/bench_sipua_connect"
"$build/bench/bench_sipua_answer"
