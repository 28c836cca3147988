"""How fast read_range and to_dask read many tables, against a loop of get() and a bare Arrow floor.

Cases (each ratio from medians measured in the same run, interleaved):

* warm klines, 365 days x 1,440 rows: read_range against the loop of get()
  plus pd.concat, and against the Arrow floor (the same cache files read with
  pyarrow in a thread pool, concatenated, converted once, indexed);
* warm derivative tickers, 30 days x 1M rows: the same, the floor including
  the nanosecond scaling; peak RSS growth of read_range in a fresh interpreter
  against the result's size;
* cold, 30 days x 100k rows from an S3-API server (moto) on 127.0.0.1, behind
  a proxy that delays every request by 50 ms, and without the delay: against
  the sequential loop, with a plain thread pool over get() for reference;
* to_dask(...).compute() on a LocalCluster of 2 worker processes against the
  same store, beside read_range;
* warm to_dask on a LocalCluster of 2 worker processes x 1 thread: a year of
  klines of one instrument (compute, and a column's mean) and 10 instruments x
  90 days, against read_range (the mean against read_range's mean plus the same
  mean on an empty one-partition collection: Dask's own floor), by a client that
  fetches results from the workers (direct_to_workers=True), and by one that has
  the scheduler relay them; the machine's load average over the runs;
* the graph of to_dask over 100 instruments x 365 days: its time, and the
  tables read to build it;
* iter_range over the warm 30 days of tickers, a day a chunk, each chunk
  consumed: against read_range, and its peak RSS growth in a fresh interpreter
  against one day's frame;
* one warm get() of a 1-row table against pd.read_feather(...).set_index(...),
  with the stand-in path builder's share;
* outputs: warm klines, 365 days x 1,440 rows, read with output="arrow" and
  output="polars" against the Arrow floor of the same cache files memory-mapped
  and concatenated, and against output="pandas"; again with the cache files
  rewritten uncompressed (whose columns the Arrow output maps, uncopied); peak
  RSS growth of read_range(columns=["mark_price"]) over the warm 1M-row tickers
  against the result's size.

    .venv/bin/python bench/batch_read.py            # everything (a few minutes)
    .venv/bin/python bench/batch_read.py --quick    # fewer repeats, smaller cold case
    .venv/bin/python bench/batch_read.py --cases warm-klines,cold
    .venv/bin/python bench/batch_read.py --cases outputs

Prints one markdown table; the same text goes to bench/results/batch_read.md.
All files live in a temporary folder configured through HALVORN_CONFIG.

Each case is one function, in files by concern beside this one: batch_warm_cases.py (cached
tables), batch_dask_cases.py (to_dask on a cluster), batch_store_cases.py (an object store
behind a slow proxy); the tables and floors are in batch_setup.py, the store in
object_store.py, the timing in timing.py.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
import warnings
from pathlib import Path

import pandas as pd
import pyarrow as pa

from batch_dask_cases import dask_warm_case, graph_case
from batch_setup import HERE, Row
from batch_store_cases import cold_case, coverage_case
from batch_warm_cases import outputs_case, single_get_row, stream_case, warm_klines_case, warm_ticker_case
from object_store import configured, write_config
from timing import fmt


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats and a smaller ticker case")
    parser.add_argument("--cases", default="warm-klines,warm-ticker,stream,dask-warm,graph,cold,dask,single,outputs,"
                                           "coverage",
                        help="comma-separated: warm-klines, warm-ticker, stream, dask-warm, graph, cold, dask, "
                             "single, outputs, coverage")
    parser.add_argument("--out", default=str(HERE / "results" / "batch_read.md"), help="also write here ('' to skip)")
    options = parser.parse_args()
    cases = set(options.cases.split(","))
    repeats = 3 if options.quick else 7
    warnings.simplefilter("ignore", FutureWarning)

    work = Path(tempfile.mkdtemp(prefix="light_data_batch_bench_"))
    started = time.perf_counter()
    rows: list[Row] = []
    notes: list[str] = []
    try:
        with configured(write_config(work / "local.ini", work / "store", work / "cache")):
            ticker_rows = 200_000 if options.quick else 1_000_000
            if "warm-klines" in cases:
                rows += warm_klines_case(work, repeats)
            if "warm-ticker" in cases:
                ticker_out, ticker_notes = warm_ticker_case(work, ticker_rows, repeats)
                rows += ticker_out
                notes += ticker_notes
            if "stream" in cases:
                stream_rows, stream_notes = stream_case(ticker_rows, repeats)
                rows += stream_rows
                notes += stream_notes
            if "dask-warm" in cases:
                dask_rows, dask_notes = dask_warm_case(repeats)
                rows += dask_rows
                notes += dask_notes
            if "graph" in cases:
                rows += graph_case(repeats)
            if "single" in cases:
                rows += single_get_row(work, repeats)
            if "outputs" in cases:
                rows += outputs_case(work, repeats)
        if "cold" in cases or "dask" in cases:
            rows += cold_case(work, 30, 20_000 if options.quick else 100_000, repeats, "dask" in cases)
        if "coverage" in cases:
            rows += coverage_case(work, *((3, 60, 20) if options.quick else (10, 365, 60)), repeats)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    lines = ["| case | measured | time | against | time | goal | met? |", "| --- | --- | ---: | --- | ---: | --- | --- |"]
    for row in rows:
        lines.append(f"| {row.case} | {row.subject} | {fmt(row.subject_time)} | {row.baseline} | "
                     f"{fmt(row.baseline_time)} | {row.goal} | {row.met} |")
    header = (f"{os.cpu_count()} CPUs, python {sys.version.split()[0]}, pandas {pd.__version__}, "
              f"pyarrow {pa.__version__}; {'quick' if options.quick else 'full'} run, "
              f"{time.perf_counter() - started:.0f} s")
    text = header + "\n\n" + "\n".join(lines) + "\n" + ("\n" + "\n".join(notes) + "\n" if notes else "")
    print(text)
    if options.out:
        Path(options.out).parent.mkdir(parents=True, exist_ok=True)
        Path(options.out).write_text(text)


if __name__ == "__main__":
    main()
