#!/usr/bin/env python3
# Instructions per call of one function of the benchmark program, from callgrind: the function's
# inclusive cost over the calls made to it. The message bodies of W1 and W1c are functions of
# their own for this (see packets.cpp).
#
#   python3 bench/ir_per_call.py build-bench/bench/zovnet_bench W1_build_parse/reused W1aLibBody
import os
import re
import subprocess
import sys
import tempfile
if len(sys.argv) != 4:
    sys.exit("usage: ir_per_call.py BENCHMARK-PROGRAM FILTER FUNCTION")
bench, filt, fn = sys.argv[1:4]
OUT = os.path.join(tempfile.mkdtemp(), "callgrind.out")
subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + OUT, bench,
                f"--benchmark_filter={filt}", "--benchmark_min_time=0.05"],
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
names = {}
calls = 0
cfn = None
for line in open(OUT):
    m = re.match(r"(c?fn)=\((\d+)\)(?: (.*))?", line.rstrip("\n"))
    if m:
        if m.group(3):
            names[m.group(2)] = m.group(3)
        cfn = names.get(m.group(2), "") if m.group(1) == "cfn" else None
        continue
    m = re.match(r"calls=(\d+)", line)
    if m and cfn is not None and re.search(r"::" + fn + r"\(", cfn):
        calls += int(m.group(1))
out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", OUT],
                     capture_output=True, text=True).stdout
incl = 0
for line in out.splitlines():
    if re.search(r"::" + fn + r"\(", line):
        incl = int(line.split()[0].replace(",", ""))
        break
print(f"{fn} ({filt}): {incl} Ir in {calls} calls: {incl / max(calls, 1):.0f} per call")
