"""Peak resident memory of one call, as the kernel reports it (Linux)."""

from __future__ import annotations

from pathlib import Path


def _status_kib(key: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise KeyError(key)


def rss_kib() -> int:
    return _status_kib("VmRSS")


def peak_rss_kib() -> int:
    return _status_kib("VmHWM")


def reset_peak_rss() -> bool:
    """Resets the peak-RSS mark to the current RSS (Linux); False where that is unsupported.

    A child started from this process may inherit this process's peak
    (ru_maxrss counts the image it was forked from), so the mark is reset
    rather than compared against an earlier reading.
    """
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False
