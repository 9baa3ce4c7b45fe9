#!/usr/bin/env python3
"""Measures what a run of the program costs and writes docs/performance.md.

  bench/run_benchmarks.py [--pairs N]

Needs the host and win64 presets built (bench/run_benchmarks.sh does that):
- Google Benchmark: a whole run over simulated machines of 1,000, 10,000 and
  100,000 devices (1% of them the vendor's), time per device and heap
  allocations per run;
- the peak resident memory of ondavipci-sim on those machines;
- under Wine, on a planted machine of 1,000 devices: "ondavipci.exe a"
  against bench/floor.cpp, which makes the same Setup API calls and prints
  nothing, run alternately with a warm server; the median ratio.
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_e2e  # noqa: E402

HOST = os.path.join(ROOT, "build", "host")
WIN64 = os.path.join(ROOT, "build", "win64")
SIZES = [1000, 10000, 100000]
MEDIA = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
NET = "{4d36e972-e325-11ce-bfc1-08002be10318}"


def machine_of_size(devices):
    """1% of the devices are the vendor's."""
    result = []
    for i in range(devices):
        if i % 100 == 0:
            result.append({"hardware_ids": [f"PCI\\VEN_7F3C&DEV_{i % 0xFFFF:04X}&SUBSYS_00017F3C&REV_01"],
                           "description": "Ondavi Phone Adapter", "driver": f"{MEDIA}\\{1000 + i:05d}"})
        else:
            result.append({"hardware_ids": [f"PCI\\VEN_8086&DEV_{i % 0xFFFF:04X}&REV_01"],
                           "description": "Other device", "driver": f"{NET}\\{1000 + i:05d}"})
    return {"devices": result}


def google_benchmark():
    out = subprocess.run([os.path.join(HOST, "bench", "ondavipci_bench"), "--benchmark_format=json",
                          "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                         capture_output=True, text=True, check=True).stdout
    rows = []
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        devices = int(b["devices"])
        mode = "a" if "all:1" in b["run_name"] else "(none)"
        rows.append((devices, mode, b["real_time"], b["real_time"] * 1000 / devices, b["allocations_per_run"]))
    return rows


def peak_rss_kib(command):
    with open(os.devnull, "wb") as null:
        process = subprocess.Popen(command, stdout=null)
        _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{command} failed")
    return usage.ru_maxrss


def simulator_memory(scratch):
    sim = os.path.join(HOST, "tools", "ondavipci-sim")
    empty = os.path.join(scratch, "empty.json")
    with open(empty, "w") as f:
        json.dump({"devices": []}, f)
    rows = [(0, peak_rss_kib([sim, empty, "a"]))]
    for devices in SIZES:
        path = os.path.join(scratch, f"machine-{devices}.json")
        with open(path, "w") as f:
            json.dump(machine_of_size(devices), f)
        rows.append((devices, peak_rss_kib([sim, path, "a"])))
    return rows


def timed_wine(prefix, exe, *args):
    start = time.perf_counter()
    result = wine_e2e.wine(prefix, exe, *args)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"{exe} failed under Wine: {result.returncode}")
    return elapsed


def wine_floor(pairs):
    prefix = os.path.join(ROOT, "build", "bench-wine-prefix")
    exe, floor = os.path.join(WIN64, "ondavipci.exe"), os.path.join(WIN64, "bench", "floor.exe")
    wine_e2e.make_prefix(prefix)
    wine_e2e.reset_registry(prefix)  # leaves a persistent server: no run pays for starting one
    wine_e2e.plant(prefix, machine_of_size(1000), raw_helper=None)
    listed = wine_e2e.wine(prefix, exe, "a").stdout
    assert b"10 Ondavi PCI Device(s) found." in listed, listed[-200:]
    for _ in range(3):  # warm the server and the file cache
        timed_wine(prefix, exe, "a")
        timed_wine(prefix, floor)
    program, floor_times, ratios = [], [], []
    for pair in range(pairs):
        if pair % 2 == 0:
            a, b = timed_wine(prefix, exe, "a"), timed_wine(prefix, floor)
        else:
            b, a = timed_wine(prefix, floor), timed_wine(prefix, exe, "a")
        program.append(a)
        floor_times.append(b)
        ratios.append(a / b)
    wine_e2e.stop_server(prefix)
    return statistics.median(program), statistics.median(floor_times), statistics.median(ratios), min(ratios), max(ratios)


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pairs", type=int, default=20)
    options = parser.parse_args()

    bench = google_benchmark()
    with tempfile.TemporaryDirectory() as scratch:
        memory = simulator_memory(scratch)
    wine_program, wine_floor_time, ratio, low, high = wine_floor(options.pairs)

    lines = [
        "# Performance",
        "",
        f"Measured on {datetime.date.today().isoformat()} on {os.cpu_count()} cores of {cpu_model()}"
        f" ({platform.system()} {platform.release()}), with `bench/run_benchmarks.sh`.",
        "",
        "## A whole run on the simulated machine",
        "",
        "Google Benchmark (`bench/bench_scan.cpp`), the median of three repetitions; 1% of the devices are",
        "Ondavi's; output to `/dev/null`. Time per device is the run's time divided by the number of devices;",
        "allocations count every `operator new` during a run (the stand-in's own set included).",
        "",
        "| Devices | Mode | Time per run (µs) | Time per device (ns) | Heap allocations per run |",
        "|---:|---|---:|---:|---:|",
    ]
    lines += [f"| {d:,} | {m} | {t:,.1f} | {p:.1f} | {a:g} |" for d, m, t, p, a in bench]
    lines += [
        "",
        "## Peak memory of `ondavipci-sim`",
        "",
        "Maximum resident set size of `ondavipci-sim MACHINE.json a`. Nearly all of it is the simulator's own",
        "copy of the machine (the parsed JSON and the stand-in's devices); the program itself allocates",
        "nothing per device (above).",
        "",
        "| Devices | Peak RSS (MiB) |",
        "|---:|---:|",
    ]
    lines += [f"| {d:,} | {kib / 1024:.1f} |" for d, kib in memory]
    lines += [
        "",
        "## Under Wine, against the platform's floor",
        "",
        f"A machine of 1,000 devices (10 of them Ondavi's) planted in Wine 8; `ondavipci.exe a` (win64 build)",
        f"and `bench/floor.cpp`, which makes the same Setup API calls and prints nothing, run alternately,",
        f"{options.pairs} pairs after a warm-up, with a persistent Wine server. Each time is a whole process,",
        "start-up included; nearly all of it is Wine's Setup API enumerating the 1,000 devices.",
        "",
        "| | Median time (ms) |",
        "|---|---:|",
        f"| `ondavipci.exe a` | {wine_program * 1000:.1f} |",
        f"| floor | {wine_floor_time * 1000:.1f} |",
        "",
        f"Median ratio program / floor over the pairs: **{ratio:.3f}** (lowest {low:.3f}, highest {high:.3f};"
        " goal ≤ 1.05).",
        "",
    ]
    os.makedirs(os.path.join(ROOT, "docs"), exist_ok=True)
    with open(os.path.join(ROOT, "docs", "performance.md"), "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
