#!/usr/bin/env python3
"""GPU workloads of two builds side by side, and against clpeak, in alternating rounds.

    bench/compare-gpu-builds.py --base /work/main/build --ours build [--rounds 5] [--filter REGEX]

Each round runs the base build's GpuWorkloadsBench, then ours, then the clpeak tests the goals name
(best single-precision compute figure, kernel launch latency, transfer bandwidth), so that a busy
machine weighs on every side alike. Prints, per workload, ours / base with its median and range over
the rounds, whether the checksums of the two builds are identical, and ours / clpeak for matrixFP32
(GFLOP/s against clpeak's best single-precision GFLOPS), gpuCommandThroughput (dispatches per second
against one over clpeak's launch latency) and gpuTransfer (GB/s against a blocking write followed by a
blocking read of equal size). clpeak is optional.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile


def run_bench(build, filter_regex, quiet_path):
    env = dict(os.environ)
    env.setdefault("POCL_CACHE_DIR", os.path.join(os.path.abspath(build), "pocl-cache"))
    # The bench's own clpeak comparison would run between ours; a stand-in that fails skips it.
    env["PATH"] = quiet_path + os.pathsep + env.get("PATH", "")
    out = subprocess.run(
        [os.path.join(build, "bench", "GpuWorkloadsBench"), "--benchmark_filter=" + filter_regex,
         "--benchmark_format=json"],
        env=env, capture_output=True, text=True, check=False).stdout
    out = out[out.index("{"):out.rindex("}") + 1]
    results = {}
    for entry in json.loads(out)["benchmarks"]:
        name = entry["name"].split("/")[1]
        results[name] = (entry.get("throughput", 0.0), entry.get("label", ""))
    return results


def clpeak(test):
    path = shutil.which("clpeak")
    if not path:
        return ""
    return subprocess.run([path, test], capture_output=True, text=True, check=False).stdout


def figure(text, pattern):
    found = re.findall(pattern, text)
    return [float(value) for value in found]


def clpeak_figures():
    figures = {}
    compute = figure(clpeak("--compute-sp"), r"float\d*\s*:\s*([0-9.]+)")
    if compute:
        figures["matrixFP32"] = max(compute) / 1000.0  # TFLOP/s, the workload's unit
    latency = figure(clpeak("--kernel-latency"), r"Kernel launch latency\s*:\s*([0-9.]+)\s*us")
    if latency and latency[0] > 0:
        figures["gpuCommandThroughput"] = 1e6 / latency[0]
    transfer = clpeak("--transfer-bandwidth")
    write = figure(transfer, r"enqueueWriteBuffer\s+:\s*([0-9.]+)")
    read = figure(transfer, r"enqueueReadBuffer\s+:\s*([0-9.]+)")
    if write and read and write[0] > 0 and read[0] > 0:
        figures["gpuTransfer"] = 2.0 * write[0] * read[0] / (write[0] + read[0])
    return figures


def summary(values):
    return "%.2f (%.2f-%.2f)" % (statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base", required=True)
    parser.add_argument("--ours", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--filter", default=".")
    args = parser.parse_args()

    quiet = tempfile.mkdtemp()
    stand_in = os.path.join(quiet, "clpeak")
    with open(stand_in, "w") as script:
        script.write("#!/bin/sh\nexit 1\n")
    os.chmod(stand_in, 0o755)

    ratios, against, identical = {}, {}, {}
    for round_index in range(args.rounds):
        base = run_bench(args.base, args.filter, quiet)
        ours = run_bench(args.ours, args.filter, quiet)
        reference = clpeak_figures()
        for name, (throughput, label) in ours.items():
            if name not in base or base[name][0] <= 0:
                continue
            ratios.setdefault(name, []).append(throughput / base[name][0])
            checksum = label.partition("checksum ")[2]
            base_checksum = base[name][1].partition("checksum ")[2]
            if base_checksum:
                identical[name] = identical.get(name, True) and checksum == base_checksum
            if name in reference:
                against.setdefault(name, []).append(throughput / reference[name])
        print("round %d of %d done" % (round_index + 1, args.rounds), file=sys.stderr)

    print("ours / base, median (range) over %d rounds" % args.rounds)
    for name in sorted(ratios):
        same = {True: "checksum identical", False: "CHECKSUM DIFFERS"}.get(identical.get(name), "")
        print("  %-24s %s  %s" % (name, summary(ratios[name]), same))
    if against:
        print("ours / clpeak, median (range)")
        for name in sorted(against):
            print("  %-24s %s" % (name, summary(against[name])))
    shutil.rmtree(quiet)


if __name__ == "__main__":
    main()
