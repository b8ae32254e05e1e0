"""Turns the results of both suites into docs/performance.md and its chart.

python bench/report.py python.json core.json --markdown docs/performance.md --chart docs/performance.png \
    [--driver driver.md]
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path

ASSEMBLY_BENCHMARK = "BM_FrameStreamOnePush/65536"
FRAME_BYTES = 47  # every packet of the benchmark stream


def load_core(path: Path) -> tuple[dict, dict[str, dict]]:
    data = json.loads(path.read_text())
    rows = {}
    for row in data["benchmarks"]:
        if row.get("run_type") == "aggregate" and row.get("aggregate_name") != "median":
            continue
        rows[row.get("run_name", row["name"])] = row
    return data["context"], rows


def fmt_ns(ns: float) -> str:
    if ns >= 10_000:
        return f"{ns / 1000:,.0f} µs"
    if ns >= 1000:
        return f"{ns / 1000:.2f} µs"
    return f"{ns:.0f} ns"


def target_marks(row: dict) -> tuple[str, str]:
    speed, floor = "", ""
    if row["min_speedup"] is not None:
        ok = row["speedup"] >= row["min_speedup"]
        speed = f"≥ {row['min_speedup']:g}× {'met' if ok else '**missed**'}"
    if row["max_over_floor"] is not None:
        ok = row["over_floor"] <= row["max_over_floor"]
        floor = f"≤ {row['max_over_floor']:g}× {'met' if ok else '**missed**'}"
    return speed, floor


def hot_path_table(rows: list[dict]) -> list[str]:
    lines = [
        "| hot path | quovel | pure Python | floor (statement) | speed-up | target | quovel / floor | target |",
        "|---|--:|--:|--:|--:|---|--:|---|",
    ]
    for row in rows:
        speed, floor = target_marks(row)
        name = row["name"] + (" *(derived)*" if row["derived"] else "")
        if row["note"]:
            name += f"<br><small>{row['note']}</small>"
        lines.append(
            f"| {name} | {fmt_ns(row['quovel_ns'])} | {fmt_ns(row['pure_ns'])} | "
            f"{fmt_ns(row['floor_ns'])} (`{row['floor_statement']}`) | {row['speedup']:.1f}× | {speed} | "
            f"{row['over_floor']:.2f}× | {floor} |"
        )
    return lines


def growth_table(growth: list[dict]) -> list[str]:
    sizes = [p["bytes"] for p in growth[0]["points"]]
    lines = [
        "| input | " + " | ".join(_size(s) for s in sizes) + " | growth exponent, 4 KiB → 64 KiB |",
        "|---|" + "--:|" * len(sizes) + "--:|",
    ]
    for row in growth:
        cells = []
        for point in row["points"]:
            cells.append(
                f"{fmt_ns(point['ns'])}"
                + (f" ({_size(point['bytes'])})" if row["name"] in ("decode_credential",) else "")
            )
        lines.append(f"| {row['name']} | " + " | ".join(cells) + f" | {round(row['exponent'], 2) + 0.0:.2f} |")
    return lines


def _size(n: int) -> str:
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} B"


def core_table(core: dict[str, dict]) -> list[str]:
    lines = ["| benchmark | CPU time | C++ allocations per iteration | throughput |", "|---|--:|--:|--:|"]
    for name, row in core.items():
        if name.endswith(("_BigO", "_RMS")):
            continue
        allocs = f"{row['allocs']:.1f}" if "allocs" in row else ""
        rate = f"{row['bytes_per_second'] / 1e6:,.0f} MB/s" if "bytes_per_second" in row else ""
        lines.append(f"| `{name}` | {fmt_ns(row['cpu_time'])} | {allocs} | {rate} |")
    return lines


def big_o(core_results: Path) -> dict[str, str]:
    data = json.loads(core_results.read_text())
    fits = {}
    for row in data["benchmarks"]:
        if row["name"].endswith("_BigO"):
            fits[row["name"][: -len("_BigO")]] = f"{row['cpu_coefficient']:.2f} ns × N ({row['big_o']})"
    return fits


def targets(rows: list[dict], growth: list[dict], core: dict[str, dict], fits: dict[str, str]) -> list[str]:
    lines = []
    for row in rows:
        if row["min_speedup"] is not None:
            ok = row["speedup"] >= row["min_speedup"]
            lines.append(
                f"- {'met' if ok else '**missed**'}: {row['name']} at least {row['min_speedup']:g}× "
                f"faster than pure Python: {row['speedup']:.1f}× "
                f"({fmt_ns(row['quovel_ns'])} against {fmt_ns(row['pure_ns'])})"
            )
        if row["max_over_floor"] is not None:
            ok = row["over_floor"] <= row["max_over_floor"]
            lines.append(
                f"- {'met' if ok else '**missed**'}: {row['name']} within {row['max_over_floor']:g}× "
                f"of the floor: {row['over_floor']:.2f}× ({fmt_ns(row['quovel_ns'])} against "
                f"`{row['floor_statement']}` at {fmt_ns(row['floor_ns'])})"
            )
    prepared = core.get("BM_EncryptPrepared/7")
    fresh = core.get("BM_EncryptFreshContext/7")
    implicit = core.get("BM_EncryptOpenSslImplicitFetch/7")
    if prepared and fresh and implicit:
        lines.append(
            f"- met: no cipher lookup or key schedule repeated per message: the AES-128-CBC cipher is fetched "
            f"once per process and each operation prepares its two contexts once; one 16-byte encryption costs "
            f"{fmt_ns(prepared['cpu_time'])} on that prepared path, against {fmt_ns(fresh['cpu_time'])} with "
            f"fresh contexts and {fmt_ns(implicit['cpu_time'])} with a fresh context and an implicit cipher "
            f"lookup (core benchmark, CPU time)"
        )
    one_push = core.get(ASSEMBLY_BENCHMARK)
    round_ = core.get("BM_FrameAssemblyRound")
    if one_push and round_ and "allocs" in one_push:
        frames = 65536 // FRAME_BYTES
        per_frame = one_push["allocs"] / frames
        lines.append(
            f"- {'met' if per_frame < 1.1 else '**missed**'}: no allocation per byte in the frame assembler: "
            f"{round_['allocs']:.1f} C++ allocations per 47-byte round once warm, "
            f"{one_push['allocs']:,.0f} for a 64 KiB stream of {frames:,} frames pushed at once "
            f"({per_frame:.2f} per frame)"
        )
    for row in growth:
        ok = row["exponent"] <= 1.15
        lines.append(
            f"- {'met' if ok else '**missed**'}: {row['name']} linear in its input (13 B to 64 KiB): "
            f"time grows as size^{round(row['exponent'], 2) + 0.0:.2f} from 4 KiB to 64 KiB"
        )
    for name, fit in fits.items():
        lines.append(f"- core `{name}`: Google Benchmark's fit is {fit}")
    return lines


def tuned_lines(rows: list[dict]) -> list[str]:
    return [
        f"- {row['name']}: hand-tuned Python {fmt_ns(row['tuned_ns'])}, against "
        f"{fmt_ns(row['pure_ns'])} for the yardstick; quovel is {row['speedup_over_tuned']:.1f}× faster "
        f"than the tuned version"
        for row in rows
        if "tuned_ns" in row
    ]


def render_chart(rows: list[dict], path: Path, machine: dict) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [row for row in rows if not row["name"].endswith("+ handle_frame()")]
    names = [row["name"] for row in shown][::-1]
    speed = [row["speedup"] for row in shown][::-1]
    floor = [row["over_floor"] for row in shown][::-1]
    speed_targets = [row["min_speedup"] for row in shown][::-1]
    floor_targets = [row["max_over_floor"] for row in shown][::-1]

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 0.45 * len(names) + 1.8), sharey=True)
    y = range(len(names))
    left.barh(y, speed, color="#3572a5")
    left.set_xscale("log")
    left.set_xlabel("speed-up over pure Python (×, log scale; higher is better)")
    right.barh(y, floor, color="#d9822b")
    right.set_xscale("log")
    right.set_xlabel("quovel time / floor (×, log scale; lower is better)")
    for axis, values, goals, _better in ((left, speed, speed_targets, "min"), (right, floor, floor_targets, "max")):
        for i, (value, goal) in enumerate(zip(values, goals)):
            label_at = max(value, goal or 0)
            axis.annotate(
                f"{value:.1f}×" if value >= 10 else f"{value:.2f}×",
                (label_at, i),
                xytext=(3, 0),
                textcoords="offset points",
                va="center",
                fontsize=8,
            )
            if goal is not None:
                axis.plot([goal, goal], [i - 0.4, i + 0.4], color="black", linewidth=2)
        axis.grid(axis="x", alpha=0.3)
    left.set_yticks(list(y), names, fontsize=9)
    right.axvline(1.0, color="grey", linewidth=0.8, linestyle=":")
    fig.suptitle(f"quovel hot paths — {machine['cpu']}, Python {machine['python']} (black ticks: targets)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def cpu_details(context: dict) -> str:
    details = f" at {context['mhz_per_cpu']} MHz" if context.get("mhz_per_cpu") else ""
    caches = [
        f"L{c['level']} {c['type'].lower()} {_size(c['size'])}"
        for c in context.get("caches", [])
        if c.get("level", 0) >= 2
    ]
    return details + (", " + ", ".join(caches) if caches else "")


def render_markdown(
    py: dict, core_context: dict, core: dict[str, dict], fits: dict[str, str], chart_name: str, driver: list[str]
) -> str:
    m = py["machine"]
    rows, growth = py["hot_paths"], py["growth"]
    empty = rows[0]["empty_loop_ns"]
    out = [
        "# Performance",
        "",
        "Regenerate everything on this page (both suites, the table and the chart) with:",
        "",
        "```sh",
        "scripts/nox -s bench",
        "```",
        "",
        f"Measured on **{m['cpu']}** ({m['cores']} cores{cpu_details(core_context)}), "
        f"{m['implementation']} {m['python']} on "
        f"{m['platform']}, {m['date']}. The pure-Python yardstick uses `cryptography` {m['cryptography']} "
        f"({m['cryptography_openssl']}).",
        "",
        "## Hot paths from Python",
        "",
        "Each hot path is timed three ways in the same process: `quovel`; a straightforward pure-Python "
        "implementation of the same behaviour (`bench/pure_python.py`, AES from `cryptography`), which is "
        "what an integration would have to write without us; and the *floor*, the cheapest CPython call of "
        "the same shape: a built-in C function of the same arity returning a new small object "
        "(`divmod(773, 7)` for two arguments, `len(x)` for one, `c.imag` on a bound complex for a property, "
        "`c.conjugate()` for a method without arguments). Everything is timed as a statement with `timeit` "
        "(no lambdas), the three variants interleaved round by round; figures are medians of "
        f"{py['rounds']} rounds of ~{py['sample_seconds'] * 1000:g} ms of process CPU time each, so that "
        "time spent descheduled on a shared machine does not count. The statement loop itself costs "
        f"{empty:.1f} ns per statement and is included in every figure, the floor's too.",
        "",
        *hot_path_table(rows),
        "",
        "Derived rows are the round minus its `start()`: `handle_frame()` cannot run twice without a new `start()`.",
        "",
        f"![speed-up over pure Python and time over the floor per hot path]({chart_name})",
        "",
        "## Growth with input size",
        "",
        "Calls that take a whole message, from 13 bytes to 64 KiB (medians per call). The exponent is "
        "log(t₆₄ₖ / t₄ₖ) / log(size ratio): 1 is linear, 0 constant, 2 quadratic. `parse_advertisement` "
        "reads fixed offsets and the last six bytes in place, so it is constant; a `bytearray` value of "
        "`select_advertisement` is copied once. The assembler rows push a stream of back-to-back 47-byte "
        "packets, in 20-byte chunks drained after each, or all at once and then drained.",
        "",
        *growth_table(growth),
        "",
        "## Below the binding: the core in C++",
        "",
        f"Google Benchmark (`bench/core_bench.cpp`), CPU time, medians of the repetitions; the machine as "
        f"the library saw it: {core_context.get('num_cpus')} CPUs at {core_context.get('mhz_per_cpu')} MHz. "
        "Allocation counts are the core's C++ heap allocations (OpenSSL's own are not counted). "
        "Argument 7 or 17 is the plaintext size, giving the 16- and 32-byte ciphertexts of the status "
        "query and the check-user-time request.",
        "",
        *core_table(core),
        "",
        *driver,
        *([""] if driver else []),
        "## Targets",
        "",
        *targets(rows, growth, core, fits),
        "",
        "## About the yardstick",
        "",
        "`bench/pure_python.py` is written from the protocol as documented, not from quovel's code, and is checked "
        "against quovel before any timing (and by `tests/binding/test_bench_yardstick.py` on generated inputs). "
        "It is plain, idiomatic Python: frozen dataclasses for records, the standard library's `re`, "
        "`base64` and `bytes.fromhex`, and `cryptography`'s `Cipher` built per message with the key "
        "passed in, as the codec's functions take it. It is not tuned. For two hot paths the same run "
        "also times a hand-tuned version (`bench/tuned_python.py`: `bytes.hex(':')` for the address and "
        "a plain slotted class; a key normaliser built on `str.split()`, which also drops U+001C to "
        "U+001F, which quovel keeps), to show how much a careful integration could win back by "
        "itself:",
        "",
        *tuned_lines(rows),
        "",
    ]
    return "\n".join(out)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("python_results", type=Path)
    parser.add_argument("core_results", type=Path)
    parser.add_argument("--markdown", type=Path, required=True)
    parser.add_argument("--chart", type=Path, required=True)
    parser.add_argument("--driver", type=Path, help="the section bench/driver_latency.py wrote")
    args = parser.parse_args()

    py = json.loads(args.python_results.read_text())
    core_context, core = load_core(args.core_results)
    fits = big_o(args.core_results)
    args.chart.parent.mkdir(parents=True, exist_ok=True)
    render_chart(py["hot_paths"], args.chart, py["machine"])
    driver = args.driver.read_text().splitlines() if args.driver is not None else []
    args.markdown.write_text(render_markdown(py, core_context, core, fits, args.chart.name, driver))
    print(f"wrote {args.markdown} and {args.chart}")


if __name__ == "__main__":
    main()
