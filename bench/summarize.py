#!/usr/bin/env python3
"""Turns one sampler_bench JSON file (--benchmark_out) into the Markdown tables of README.md.

Every ratio is taken between two benchmarks of the same file, so both figures come from the
same run on the same machine state.

    python3 bench/summarize.py /tmp/sampler_bench.json
    python3 bench/summarize.py AFTER.json --baseline BEFORE.json [AFTER2.json --baseline BEFORE2.json ...]

With --baseline (a run of an older build, taken right before or after), it prints instead each
query's ratio to Embree in both runs, and after ÷ before, for every pair given; the Embree
ratios are the figures to trust on a shared machine, since each comes from one run.
"""
import json
import sys
from collections import defaultdict

TARGET_EMBREE_RATIO = 2.0
TARGET_EMBREE_RASTER_RATIO = 4.0
TARGET_LITERAL_BUILD_RATIO = 5.0
TARGET_THREAD_SCALING = 1.8


def parse(path):
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        parts = [p for p in b["run_name"].split("/")
                 if not p.startswith(("min_time:", "real_time", "process_time", "threads:"))]
        kind, mesh, impl = parts[0], parts[1], parts[2]
        depth = int(parts[3].split(":")[1]) if len(parts) > 3 else None
        runs[(kind, mesh, impl, depth, int(b.get("threads", 1)))] = b
    return data["context"], runs


def rate(b):
    return b["items_per_second"] if b else None


def fmt_rate(v):
    if v is None:
        return "–"
    return f"{v / 1e6:.2f} M/s" if v >= 1e6 else f"{v / 1e3:.1f} k/s"


def fmt_ratio(a, b):
    return "–" if a is None or b is None or b == 0 else f"{a / b:.2f}"


def ms(b):
    unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b["real_time"] * unit


def main(path):
    context, runs = parse(path)
    meshes = []
    for key in runs:
        if key[1] not in meshes:
            meshes.append(key[1])
    depths = sorted({k[3] for k in runs if k[2] == "real" and k[3] is not None})
    kinds = [k for k in ("HeightAt", "FilteredHeightU", "FilteredHeightUV", "NormalAt") if any(r[0] == k for r in runs)]

    print(f"Run: {context.get('date', '?')}, {context.get('num_cpus', '?')} CPUs, "
          f"plan {context.get('veldmap_plan', '?')}, load average {context.get('load_avg', '?')}\n")

    print("### Queries (items/s; real time)\n")
    print("| query | mesh | depth | real 1 thr | real 2 thr | 2 ÷ 1 | literal 1 thr | real ÷ literal | "
          "Embree 1 thr | real ÷ Embree | Embree 2 thr | real ÷ Embree (2 thr) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for kind in kinds:
        for mesh in meshes:
            for depth in depths:
                r1 = rate(runs.get((kind, mesh, "real", depth, 1)))
                r2 = rate(runs.get((kind, mesh, "real", depth, 2)))
                lit = rate(runs.get((kind, mesh, "literal", depth, 1)))
                e1 = rate(runs.get((kind, mesh, "embree", None, 1)))
                e2 = rate(runs.get((kind, mesh, "embree", None, 2)))
                if r1 is None and lit is None:
                    continue
                print(f"| {kind} | {mesh} | {depth} | {fmt_rate(r1)} | {fmt_rate(r2)} | {fmt_ratio(r2, r1)} | "
                      f"{fmt_rate(lit)} | {fmt_ratio(r1, lit)} | {fmt_rate(e1)} | {fmt_ratio(r1, e1)} | "
                      f"{fmt_rate(e2)} | {fmt_ratio(r2, e2)} |")

    if any(k[0] == "HeightAtRaster" for k in runs):
        print("\n### HeightAt in raster order (1000 x 1000 pixel centres, row by row; 1 thread)\n")
        print("| mesh | depth | real | Embree | real ÷ Embree | real raster ÷ real random |")
        print("|---|---|---|---|---|---|")
        for mesh in meshes:
            e = rate(runs.get(("HeightAtRaster", mesh, "embree", None, 1)))
            for depth in depths:
                r = rate(runs.get(("HeightAtRaster", mesh, "real", depth, 1)))
                random = rate(runs.get(("HeightAt", mesh, "real", depth, 1)))
                if r is not None:
                    print(f"| {mesh} | {depth} | {fmt_rate(r)} | {fmt_rate(e)} | {fmt_ratio(r, e)} | {fmt_ratio(r, random)} |")

    print("\n### Builds (mean time per build, faces/s, bytes per face)\n")
    print("| mesh | builder | depth | time | faces/s | process CPU ÷ real | peak B/face | kept B/face | "
          "index+mesh B/face | literal ÷ real | Embree ÷ real | Embree 1 thr ÷ real |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for mesh in meshes:
        builds = sorted((k for k in runs if k[0] == "Build" and k[1] == mesh), key=lambda k: (k[2], k[3] or 0))
        embree = runs.get(("Build", mesh, "embree", None, 1))
        embree1 = runs.get(("Build", mesh, "embree_1thread", None, 1))
        for key in builds:
            b = runs[key]
            literal = runs.get(("Build", mesh, "literal", key[3], 1)) if key[2] == "real" else None
            cpu = f"{b['cpu_time'] / b['real_time']:.2f}" if key[2].startswith("embree") else ""
            index_mesh = f"{b['index_mesh_bytes_per_face']:.1f}" if "index_mesh_bytes_per_face" in b else ""
            real_only = key[2] == "real"
            print(f"| {mesh} | {key[2]} | {key[3] if key[3] is not None else ''} | {ms(b):.1f} ms | "
                  f"{fmt_rate(rate(b))} | {cpu} | {b['peak_bytes_per_face']:.1f} | {b['kept_bytes_per_face']:.1f} | "
                  f"{index_mesh} | {fmt_ratio(ms(literal), ms(b)) if literal else ''} | "
                  f"{fmt_ratio(ms(embree), ms(b)) if real_only and embree else ''} | "
                  f"{fmt_ratio(ms(embree1), ms(b)) if real_only and embree1 else ''} |")

    print("\n### Targets\n")
    for mesh in meshes:
        for depth in depths:
            r1 = rate(runs.get(("HeightAt", mesh, "real", depth, 1)))
            e1 = rate(runs.get(("HeightAt", mesh, "embree", None, 1)))
            if r1 and e1:
                ok = "met" if r1 / e1 >= TARGET_EMBREE_RATIO else f"missed by {TARGET_EMBREE_RATIO / (r1 / e1):.2f}x"
                print(f"- HeightAt ÷ Embree rays/s, {mesh} depth {depth}: {r1 / e1:.2f} "
                      f"(target ≥ {TARGET_EMBREE_RATIO}: {ok})")
    for mesh in meshes:
        for depth in depths:
            r = rate(runs.get(("HeightAtRaster", mesh, "real", depth, 1)))
            e = rate(runs.get(("HeightAtRaster", mesh, "embree", None, 1)))
            if r and e:
                target = TARGET_EMBREE_RASTER_RATIO
                ok = "met" if r / e >= target else f"missed by {target / (r / e):.2f}x"
                print(f"- HeightAt ÷ Embree rays/s in raster order, {mesh} depth {depth}: {r / e:.2f} "
                      f"(target ≥ {target}: {ok})")
    real = runs.get(("Build", "terrain", "real", 10, 1))
    literal = runs.get(("Build", "terrain", "literal", 10, 1))
    if real and literal:
        ratio = ms(literal) / ms(real)
        ok = "met" if ratio >= TARGET_LITERAL_BUILD_RATIO else f"missed by {TARGET_LITERAL_BUILD_RATIO / ratio:.2f}x"
        print(f"- Rebuild terrain depth 10, literal ÷ real time: {ratio:.2f} (target ≥ {TARGET_LITERAL_BUILD_RATIO}: {ok})")
    for name in ("embree", "embree_1thread"):
        e = runs.get(("Build", "terrain", name, None, 1))
        if real and e:
            ratio = ms(e) / ms(real)
            ok = "met" if ratio > 1.0 else f"missed by {1.0 / ratio:.2f}x"
            print(f"- Rebuild terrain depth 10 vs {name} scene build, {name} ÷ real time: {ratio:.2f} (target > 1: {ok})")
    scaling = []
    for key, b in runs.items():
        if key[4] == 2:
            one = runs.get(key[:4] + (1,))
            if one:
                scaling.append((rate(b) / rate(one), key))
    if scaling:
        scaling.sort()
        below = [s for s in scaling if s[0] < TARGET_THREAD_SCALING]
        print(f"- 2 threads ÷ 1 thread: min {scaling[0][0]:.2f} ({'/'.join(str(x) for x in scaling[0][1][:4] if x is not None)}), "
              f"median {scaling[len(scaling) // 2][0]:.2f}, max {scaling[-1][0]:.2f}; "
              f"{len(below)} of {len(scaling)} below the target {TARGET_THREAD_SCALING}")


def compare(pairs):
    """One row per query benchmark of the real sampler: its rate ÷ Embree's in each run (same
    query order, same thread count), and after ÷ before of the rates themselves."""
    loaded = [(parse(after)[1], parse(before)[1]) for after, before in pairs]
    keys = []
    for after, _ in loaded:
        for key in after:
            if key[0] in ("HeightAt", "HeightAtRaster") and key[2] == "real" and key not in keys:
                keys.append(key)
    header = "| query | mesh | depth | threads |"
    rule = "|---|---|---|---|"
    for i in range(len(pairs)):
        header += f" before ÷ Embree ({i + 1}) | after ÷ Embree ({i + 1}) | after ÷ before ({i + 1}) |"
        rule += "---|---|---|"
    print(header)
    print(rule)
    for key in keys:
        row = f"| {key[0]} | {key[1]} | {key[3]} | {key[4]} |"
        for after, before in loaded:
            embree_key = (key[0], key[1], "embree", None, key[4])
            a, b = rate(after.get(key)), rate(before.get(key))
            row += (f" {fmt_ratio(b, rate(before.get(embree_key)))} | {fmt_ratio(a, rate(after.get(embree_key)))} |"
                    f" {fmt_ratio(a, b)} |")
        print(row)


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) == 1:
        main(args[0])
    elif len(args) >= 3 and len(args) % 3 == 0 and all(args[i] == "--baseline" for i in range(1, len(args), 3)):
        compare([(args[i], args[i + 2]) for i in range(0, len(args), 3)])
    else:
        sys.exit("usage: summarize.py RESULTS.json | AFTER.json --baseline BEFORE.json [...]")
