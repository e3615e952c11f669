#!/usr/bin/env python3
"""Batch hashing throughput and memory, against plain-Python baselines in the same run.

    python -m pip install -r benchmarks/requirements.txt   # and the module itself
    python benchmarks/run.py [--quick] [--output DIR]

Prints ns per item and ratios, writes DIR/latest.json and DIR/latest.png.
"""
import argparse
import array
import gc
import json
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

import numpy as np

import tessellon

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from reference_model import ReferenceHasher  # noqa: E402

try:
    import pandas
except ImportError:  # the pandas baseline is then left out
    pandas = None

START = datetime(2020, 1, 1, tzinfo=timezone.utc)
END = datetime(2021, 1, 1, tzinfo=timezone.utc)
IST = timezone(timedelta(hours=5, minutes=30))
DATASETS = ("utc", "offset", "iso")  # timezone.utc; one shared +05:30; one equal tz per item


def make_data(n, datasets=DATASETS, seed=20200101):
    rng = random.Random(seed)
    span_us = (END - START) // timedelta(microseconds=1)
    utc = [START + timedelta(microseconds=rng.randrange(span_us)) for _ in range(n)]
    lons = [rng.uniform(-180.0, 180.0) for _ in range(n)]
    lats = [rng.uniform(-90.0, 90.0) for _ in range(n)]
    data = {"utc": utc}
    if "offset" in datasets or "iso" in datasets:
        data["offset"] = [d.astimezone(IST) for d in utc]
    if "iso" in datasets:
        data["iso"] = [datetime.fromisoformat(d.isoformat()) for d in data["offset"]]
        assert data["iso"][0].tzinfo is not data["iso"][1].tzinfo
    return data, lons, lats


def time_rounds(fns, repeats):
    """(median, min) wall time of each fn(), timed in rounds over all of them so that load
    from other processes hits every case alike; results are freed outside the timed region."""
    for fn in fns.values():
        fn()  # warm-up: process-wide caches, first-touch page faults
    times = {name: [] for name in fns}
    gc.collect()
    gc.disable()
    try:
        for r in range(max(repeats.values())):
            for name, fn in fns.items():
                if r < repeats[name]:
                    t0 = time.perf_counter_ns()
                    result = fn()
                    t1 = time.perf_counter_ns()
                    del result
                    times[name].append(t1 - t0)
    finally:
        gc.enable()
    return {name: (statistics.median(t), min(t)) for name, t in times.items()}


class IteratedArray(np.ndarray):
    pass


def cases(h, ref, data, lons, lats, n, ref_n):
    """name -> (kind, items, callable) for batch size n."""
    lo, la = lons[:n], lats[:n]
    nlo, nla = np.array(lo, dtype=np.float64), np.array(la, dtype=np.float64)
    alo, ala = array.array("d", lo), array.array("d", la)
    ilo, ila = list(nlo), list(nla)  # numpy scalars, converted item by item
    # An ndarray subclass is iterated like any sequence: a numpy scalar is
    # made and converted per item, which is what the buffer read saves.
    slo, sla = nlo.view(IteratedArray), nla.view(IteratedArray)
    utc = data["utc"][:n]
    c = {}
    for ds in DATASETS:
        d = data[ds][:n]
        c[f"hash_all {ds}"] = ("module", n, lambda d=d: h.hash_all(d, lo, la))
    for ds in DATASETS:
        d = data[ds][:n]
        c[f"hash_all_clamped {ds}"] = ("module", n, lambda d=d: h.hash_all_clamped(d, lo, la))
    c["hash_all numpy"] = ("module", n, lambda: h.hash_all(utc, nlo, nla))
    c["hash_all array('d')"] = ("module", n, lambda: h.hash_all(utc, alo, ala))
    c["hash_all list(numpy)"] = ("module", n, lambda: h.hash_all(utc, ilo, ila))
    c["hash_all numpy iterated"] = ("module", n, lambda: h.hash_all(utc, slo, sla))
    c["[hash() for ...] utc"] = ("module", n,
                                 lambda: [h.hash(d, x, y) for d, x, y in zip(utc, lo, la)])
    for ds in ("utc", "iso"):
        d = data[ds][:n]
        c[f"timestamp() {ds}"] = ("baseline", n, lambda d=d: [x.timestamp() for x in d])
    if pandas is not None:
        for ds in ("utc", "iso"):
            d = data[ds][:n]
            c[f"pandas.to_datetime {ds}"] = ("baseline", n,
                                             lambda d=d: pandas.to_datetime(d, utc=True))
    rd, rlo, rla = utc[:ref_n], lo[:ref_n], la[:ref_n]
    c["reference model utc"] = ("baseline", ref_n, lambda: ref.hash_all(rd, rlo, rla))
    return c


def peak_rss(method):
    if method == "VmHWM":
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def peak_rss_reset():
    """Resets the peak RSS where the kernel allows it; returns (method, peak bytes)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # VmHWM := current RSS
        return "VmHWM", peak_rss("VmHWM")
    except OSError:  # ru_maxrss cannot be reset: the data made before bounds it from below
        return "ru_maxrss", peak_rss("ru_maxrss")


def allocated_size(obj):
    # pymalloc serves objects up to 512 bytes from 16-byte size classes
    size = sys.getsizeof(obj)
    return -(-size // 16) * 16 if size <= 512 else size


def memory_child(n, inputs):
    data, lons, lats = make_data(n, datasets=("utc",))
    if inputs == "numpy":
        lons, lats = np.array(lons), np.array(lats)
    h = tessellon.Hasher(START, END)
    h.hash_all(data["utc"][:8], lons[:8], lats[:8])  # fill the module's caches
    gc.collect()
    gc.disable()
    method, before = peak_rss_reset()
    result = h.hash_all(data["utc"], lons, lats)
    delta = peak_rss(method) - before
    plain = sys.getsizeof(result) + sum(map(sys.getsizeof, result))
    allocated = sys.getsizeof(result) + sum(map(allocated_size, result))
    print(json.dumps({"inputs": inputs, "n": n, "method": method, "peak_delta_bytes": delta,
                      "result_bytes_getsizeof": plain, "result_bytes_allocated": allocated,
                      "extra_bytes_per_item": (delta - plain) / n,
                      "extra_bytes_per_item_allocated": (delta - allocated) / n}))


def measure_memory(n, inputs):
    out = subprocess.run([sys.executable, __file__, "--memory-child", str(n), inputs],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def machine():
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f
                    if line.startswith("model name")), platform.processor() or "unknown")
    return {"cpu": cpu, "cpus": len(os.sched_getaffinity(0)), "loadavg": os.getloadavg(),
            "python": platform.python_version(), "implementation": platform.python_implementation(),
            "platform": platform.platform(), "numpy": np.__version__,
            "pandas": pandas.__version__ if pandas else None,
            "tessellon": tessellon.__version__, "tessellon_path": tessellon.__file__,
            "time": datetime.now(timezone.utc).isoformat(timespec="seconds")}


RATIOS = [  # (label, numerator, denominator): time ratios, per item
    ("hash_all utc / timestamp() utc", "hash_all utc", "timestamp() utc"),
    ("hash_all_clamped utc / timestamp() utc", "hash_all_clamped utc", "timestamp() utc"),
    ("reference model / hash_all utc", "reference model utc", "hash_all utc"),
    ("hash_all iso / hash_all utc", "hash_all iso", "hash_all utc"),
    ("hash_all offset / hash_all utc", "hash_all offset", "hash_all utc"),
    ("hash_all list(numpy) / hash_all numpy", "hash_all list(numpy)", "hash_all numpy"),
    ("hash_all numpy iterated / hash_all numpy", "hash_all numpy iterated", "hash_all numpy"),
    ("[hash() for ...] / timestamp() utc", "[hash() for ...] utc", "timestamp() utc"),
    ("hash_all utc / pandas.to_datetime utc", "hash_all utc", "pandas.to_datetime utc"),
]


def write_atomic(path, write):
    tmp = path.with_name(path.name + ".tmp")
    write(tmp)
    os.replace(tmp, path)


def plot(report, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(10, 6.5))
    seen = {"module": 0, "baseline": 0}  # kinds differ by line style, so colours may repeat
    for name, res in report["results"].items():
        color = plt.cm.tab10.colors[seen[res["kind"]] % 10]
        seen[res["kind"]] += 1
        ns = sorted(int(k) for k in res["points"])
        ys = [res["points"][str(k)]["ns_per_item"] for k in ns]
        label = name + (" (subsample)" if name.startswith("reference") else "")
        ax.plot(ns, ys, "-o" if res["kind"] == "module" else "--s", label=label, markersize=4,
                color=color)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("batch size (items)")
    ax.set_ylabel("ns per item (median)")
    m = report["machine"]
    ax.set_title(f"tessellon {m['tessellon']}, CPython {m['python']}, {m['cpu']} "
                 f"({m['cpus']} CPUs){' [quick]' if report['quick'] else ''}", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="center left", bbox_to_anchor=(1.01, 0.5))
    fig.tight_layout()
    write_atomic(path, lambda p: fig.savefig(p, dpi=110, format="png"))
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, few repeats")
    ap.add_argument("--output", type=Path, default=HERE / "results", help="result folder")
    ap.add_argument("--memory-child", nargs=2, metavar=("N", "INPUTS"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        return memory_child(int(args.memory_child[0]), args.memory_child[1])

    sizes = [1_000, 10_000] if args.quick else [1_000, 10_000, 100_000, 1_000_000]
    base_repeats, ref_cap = (3, 200) if args.quick else (7, 2_000)
    mem_n = 100_000 if args.quick else 1_000_000
    report = {"machine": machine(), "quick": args.quick, "sizes": sizes, "results": {}}
    m = report["machine"]
    print(f"tessellon {m['tessellon']} ({m['tessellon_path']})\nCPython {m['python']} on "
          f"{m['cpu']}, {m['cpus']} CPUs, load {m['loadavg'][0]:.2f}"
          f"{'  [quick]' if args.quick else ''}", flush=True)
    if m["loadavg"][0] > m["cpus"] - 0.5:
        print("note: other processes keep the CPUs busy; single calls get preempted and the "
              "figures are noisy", flush=True)

    data, lons, lats = make_data(max(sizes))
    h = tessellon.Hasher(START, END)
    ref = ReferenceHasher(START, END)
    check = slice(0, 100)
    assert h.hash_all(data["iso"][check], lons[check], lats[check]) == \
        ref.hash_all(data["utc"][check], lons[check], lats[check]), "keys differ from the model"

    results = report["results"]
    for n in sizes:
        todo = cases(h, ref, data, lons, lats, n, min(n, ref_cap))
        # rounds are cheap for small batches: more of them steady the median
        reps = {name: max(base_repeats, min(100, 1_000_000 // items))
                for name, (_, items, _) in todo.items()}
        medians = time_rounds({name: fn for name, (_, _, fn) in todo.items()}, reps)
        for name, (kind, items, _) in todo.items():
            med, best = medians[name]
            results.setdefault(name, {"kind": kind, "points": {}})["points"][str(n)] = {
                "items": items, "median_ns": med, "min_ns": best,
                "ns_per_item": med / items, "repeats": reps[name]}
        print(f"  N={n:,} done", file=sys.stderr, flush=True)

    def per_item(name, n):
        p = results.get(name, {}).get("points", {}).get(str(n))
        return p["ns_per_item"] if p else None

    head = f"{'ns per item (median)':<38}" + "".join(f"{f'N={n:,}':>13}" for n in sizes)
    print("\n" + head + "\n" + "-" * len(head))
    for name, res in results.items():
        pts = [res["points"][str(n)] for n in sizes]
        # '*': the median is far above the fastest run, i.e. most runs were preempted
        cells = "".join(f"{p['ns_per_item']:>12.1f}"
                        f"{'*' if p['median_ns'] > 1.5 * p['min_ns'] else ' '}" for p in pts)
        note = f" (on {pts[-1]['items']:,} items)" if name.startswith("reference") else ""
        print(f"{name:<38}{cells}{note}")
    print("* median over 1.5x the fastest run (preempted by other processes)")

    ends = sorted({sizes[0], sizes[-1]})
    print(f"\n{'time ratio':<38}" + "".join(f"{f'N={n:,}':>13}" for n in ends))
    report["ratios"] = {}
    for label, a, b in RATIOS:
        vals = {n: (per_item(a, n) / per_item(b, n)) if per_item(a, n) and per_item(b, n)
                else None for n in ends}
        if any(v is not None for v in vals.values()):
            report["ratios"][label] = {str(n): v for n, v in vals.items()}
            print(f"{label:<38}" + "".join(f"{v:>13.2f}" if v is not None else f"{'-':>13}"
                                           for v in vals.values()))

    report["memory"] = [measure_memory(mem_n, inputs) for inputs in ("lists", "numpy")]
    print(f"\npeak RSS of one hash_all beyond its result list, N={mem_n:,}")
    for r in report["memory"]:
        print(f"  {r['inputs']:<7} {r['extra_bytes_per_item']:7.1f} B/item  "
              f"({r['extra_bytes_per_item_allocated']:.1f} net of pymalloc rounding of the ints;"
              f" peak +{r['peak_delta_bytes'] / 2**20:.1f} MiB, result"
              f" {r['result_bytes_getsizeof'] / 2**20:.1f} MiB, via {r['method']})")

    args.output.mkdir(parents=True, exist_ok=True)
    write_atomic(args.output / "latest.json",
                 lambda p: p.write_text(json.dumps(report, indent=1) + "\n"))
    plot(report, args.output / "latest.png")
    print(f"\nwrote {args.output / 'latest.json'} and {args.output / 'latest.png'}")


if __name__ == "__main__":
    main()
