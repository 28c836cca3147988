"""How close CryptoMktData comes to the cost of the bare I/O it wraps.

Every case times the reader and a floor, the bare pandas/pyarrow calls that do
the same I/O and produce the same frame, in the same run, interleaved, and
reports medians and their ratio. Memory cases run each side in a fresh
subprocess and compare the growth of peak resident memory.

    .venv/bin/python bench/run.py            # full run (10M-row tables, a few minutes)
    .venv/bin/python bench/run.py --quick    # smaller tables, fewer repeats
    .venv/bin/python bench/run.py --sizes 1,100000,1000000

Prints one markdown table (and a header naming the machine and the library
versions); the same text is kept in bench/results/latest.md.

Each case is one function, in files by concern beside this one:
single_read_cases.py (warm and cold reads, cost per row, peak memory) and
call_overhead.py (method calls against interpreter-level methods); the tables,
floors and fakes are in single_read_setup.py, the timing in timing.py. A
case's setup (writing the table, filling the cache, checking that the floor's
frame equals the reader's) runs untimed, then its timed bodies run interleaved.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

from halvorn.orrery_data.enums import DataType

from call_overhead import (binding_error, exists_without_sources, get_path_standin_path_manager,
                           get_path_trivial_path_manager)
from single_read_cases import cold_get, peak_rss_growth, per_row, warm_get, warm_get_fixed_path_manager
from single_read_setup import HERE, KINDS, Bench, Row, markdown_table, write_config
from timing import machine_header, size_label


def run_cases(bench: Bench, sizes: list[int]) -> list[Row]:
    big = max(sizes)
    cold_sizes = [s for s in sizes if s >= 100_000] or [big]
    per_row_sizes = sorted({s for s in (1_000, 100_000, 1_000_000, 10_000_000) if s <= big} |
                           {s for s in sizes if s >= 1_000})
    rows: list[Row] = []
    for kind in KINDS:
        for n in sizes:
            rows.append(warm_get(bench, kind, n))
            if kind == "plain" and n == 1:
                rows.append(warm_get_fixed_path_manager(bench, n))
    rows += per_row(bench, per_row_sizes)
    for kind in KINDS:
        for n in cold_sizes:
            rows.append(cold_get(bench, kind, n))
    bench.log("call overhead")
    rows.append(exists_without_sources(bench))
    rows.append(get_path_trivial_path_manager(bench, DataType.Klines, "klines"))
    rows.append(get_path_trivial_path_manager(bench, DataType.DerivativeTicker, "derivative ticker"))
    rows.append(get_path_standin_path_manager(bench))
    rows.append(binding_error(bench))
    for kind in KINDS:
        rows.append(peak_rss_growth(bench, kind, big, min(sizes)))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller tables, fewer repeats")
    parser.add_argument("--sizes", help="comma-separated row counts for the read cases "
                        "(default 1,100000,10000000; --quick: 1,100000,1000000)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--out", default=str(HERE / "results" / "latest.md"),
                        help="also write the output here ('' to skip)")
    options = parser.parse_args()

    if options.sizes:
        sizes = sorted({int(s.replace("_", "")) for s in options.sizes.split(",") if s})
    else:
        sizes = [1, 100_000, 1_000_000] if options.quick else [1, 100_000, 10_000_000]

    work = Path(tempfile.mkdtemp(prefix="light_data_bench_"))
    try:
        config = write_config(work)
        os.environ["HALVORN_CONFIG"] = str(config)
        header = machine_header()
        print(header, flush=True)
        bench = Bench(work, config, options.quick)
        table = markdown_table(run_cases(bench, sizes))
        mode = "quick" if options.quick else "full"
        summary = (f"mode: {mode}; sizes {', '.join(size_label(s) for s in sizes)}; "
                   f"took {time.perf_counter() - bench.started:.0f} s")
        print(f"\n{summary}\n\n{table}")
        if options.out:
            Path(options.out).parent.mkdir(parents=True, exist_ok=True)
            Path(options.out).write_text(f"{header}\n{summary}\n\n{table}\n")
    finally:
        if options.keep:
            print(f"kept {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
