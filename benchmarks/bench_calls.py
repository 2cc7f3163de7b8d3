"""What a call of pyveka.veka_call costs, beside what it cannot avoid.

    python benchmarks/bench_calls.py [--quick]                  # time
    python benchmarks/bench_calls.py --instructions [--quick]   # count instructions

The timing mode times each of the nine functions against its floor on the real and on the
stubbed host (see scenarios.py), then on the changing namespace, then the module's
import beside that of os, platform and typing (`python -X importtime`). Each figure is ns per call:
the median of many runs, and the best; the ratio and the module's own ns are medians over
neighbouring runs of the call and its floor, which run in alternation, so that drift cancels
out. The target, on the real host: each public lookup at most 1.05x its floor; and the
module's import under a fifth of platform's. The exit status is 1 when one is missed.

The instruction mode is instruction_counts.py. --quick smoke-runs either mode with fewer calls
and checks nothing. Standard library only, but for Cython and valgrind in the instruction mode.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

import instruction_counts
import plain_veka_call
import scenarios

PUBLIC_REAL_RATIO = 1.05  # call / floor, real host
IMPORT_SHARE_OF_PLATFORM = 0.20


@dataclass
class SideBySide:
    """A call and its floor, ns per call in each of the runs, made in alternation."""

    call: list[float] = field(default_factory=list)
    floor: list[float] = field(default_factory=list)

    @staticmethod
    def timing(runs: list[float]) -> str:
        return f"{statistics.median(runs):8.1f} ({min(runs):7.1f})"

    @property
    def ratio(self) -> float:
        """Median of the ratios of neighbouring runs."""
        return statistics.median(c / f for c, f in zip(self.call, self.floor, strict=True))

    @property
    def own(self) -> float:
        """Median of the differences of neighbouring runs, in ns: the module's own work."""
        return statistics.median(c - f for c, f in zip(self.call, self.floor, strict=True))

    def row(self, label: str) -> str:
        return (
            f"{label:26} {self.timing(self.call):>24} {self.timing(self.floor):>25} "
            f"{self.ratio:7.2f} {self.own:+9.1f}"
        )


def header(label: str = "function") -> str:
    return (
        f"{label:26} {'call ns: median (best)':>24} {'floor ns: median (best)':>25} "
        f"{'ratio':>7} {'own ns':>9}"
    )


def side_by_side(call: str, floor: str, names: dict, seconds: float, repeat: int) -> SideBySide:
    loops = (scenarios.loop(call, names), scenarios.loop(floor, names))
    for loop in loops:
        loop(1000)  # warm-up: caches, specialisation
    # As many calls per run as fill `seconds`, so that short calls are not drowned by noise.
    start = time.perf_counter()
    loops[1](1000)
    number = max(100, int(seconds / ((time.perf_counter() - start) / 1000)))
    result = SideBySide()
    for _ in range(repeat):
        for runs, loop in zip((result.call, result.floor), loops, strict=True):
            start = time.perf_counter_ns()
            loop(number)
            runs.append((time.perf_counter_ns() - start) / number)
    return result


def host_table(host: scenarios.Host, seconds: float, repeat: int) -> dict[str, SideBySide]:
    print(f"\n{host.title}\n{header()}")
    rows = {}
    with scenarios.installed(host, scenarios.vc, plain_veka_call):
        for name in scenarios.FUNCTIONS:
            names = host.names(getattr(scenarios.vc, name))
            row = side_by_side(
                scenarios.CALLS[name], scenarios.FLOORS[name], names, seconds, repeat
            )
            rows[name] = row
            print(row.row(name))
        # For scale: the solver's lookup written as plain Python, on the same host.
        names = host.names(plain_veka_call.veka_call_builtin)
        floor = scenarios.FLOORS["veka_call_builtin"]
        print(side_by_side("f()", floor, names, seconds, repeat).row("(plain Python solver)"))
    return rows


def namespace_table(host: scenarios.Host, seconds: float, repeat: int, sizes: list[int]) -> None:
    print(
        f"\nChanging namespace: {scenarios.NAMESPACE_FUNCTION}() after a padding key of the "
        f"namespace is rebound ({scenarios.NAMESPACE_CALL!r}); the rebinding alone is the "
        f"floor (not a target)\n{header('keys added, function')}"
    )
    modules = {"module": scenarios.vc, "plain Python": plain_veka_call}
    with scenarios.installed(host, *modules.values()):
        for size in sizes:
            with scenarios.padded(size, *modules.values()) as key:
                for kind, module in modules.items():
                    names = scenarios.namespace_names(host, module, key)
                    row = side_by_side(
                        scenarios.NAMESPACE_CALL, scenarios.NAMESPACE_FLOOR, names, seconds, repeat
                    )
                    print(row.row(f"{size:>10,}, {kind}"))


def import_costs(repeat: int) -> dict[str, float]:
    """Median import time in microseconds: the module's own (self) and each standard module's
    (cumulative)."""
    site = os.path.dirname(os.path.dirname(scenarios.vc.__file__))
    env = dict(os.environ, PYTHONPATH=site)
    costs: dict[str, list[float]] = {}
    for module, column in (("pyveka.veka_call", 0), ("os", 1), ("platform", 1), ("typing", 1)):
        for _ in range(repeat):
            done = subprocess.run(
                [sys.executable, "-S", "-X", "importtime", "-c", f"import {module}"],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            for line in done.stderr.splitlines():
                fields = [part.strip() for part in line.removeprefix("import time:").split("|")]
                if len(fields) == 3 and fields[2] == module:
                    costs.setdefault(module, []).append(float(fields[column]))
    return {module: statistics.median(values) for module, values in costs.items()}


def timing_mode(quick: bool) -> int:
    """Prints the timings; then, unless `quick`, checks the targets: 1 when one is missed."""
    seconds, repeat = (0.001, 3) if quick else (0.01, 101)
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core: no migrations
    load = " ".join(f"{figure:.2f}" for figure in os.getloadavg())
    print(
        f"{scenarios.describe_python()}; {repeat} alternating runs of about "
        f"{seconds * 1e3:.0f} ms each per call and floor; load average {load}"
    )
    with scenarios.hosts() as (real, stubbed):
        rows = host_table(real, seconds, repeat)
        price = scenarios.entry_price(
            *(
                side_by_side(through, direct, scenarios.entry_names(), seconds, repeat).own
                for through, direct in scenarios.ENTRY_PAIRS
            )
        )
        entries = scenarios.entries_of_the_functions(real)
        gaps = {name: (row.own, statistics.median(row.floor)) for name, row in rows.items()}
        scenarios.print_entry_table("ns", gaps, price, entries)
        host_table(stubbed, seconds, repeat)
        namespace_table(real, seconds, repeat, scenarios.namespace_sizes(quick))
    costs = import_costs(repeat)
    print("\nImport, microseconds (median): the module's own work beside whole standard modules")
    print(f"  pyveka.veka_call (self)   {costs['pyveka.veka_call']:8.0f}")
    for module in ("os", "platform", "typing"):
        print(f"  {module:25} {costs[module]:8.0f}")
    if quick:
        print("\n--quick: a smoke run with few calls; no target is checked")
        return 0

    share = costs["pyveka.veka_call"] / costs["platform"]
    limit = f"(at most {PUBLIC_REAL_RATIO:.2f}x)"
    checks = [
        (
            f"  real host  {name:22} {rows[name].ratio:6.3f}x floor  {limit} ",
            rows[name].ratio <= PUBLIC_REAL_RATIO,
        )
        for name in scenarios.PUBLIC
    ]
    under = f"(under {IMPORT_SHARE_OF_PLATFORM:.0%})"
    checks.append(
        (
            f"  import     {share:6.1%} of importing platform {under}  ",
            share < IMPORT_SHARE_OF_PLATFORM,
        )
    )
    return scenarios.report_targets("\nTargets", checks)


def main() -> int:
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument(
        "--quick", action="store_true", help="a smoke run: fewer calls, no target checked"
    )
    arguments.add_argument(
        "--instructions",
        action="store_true",
        help="count instructions with callgrind instead of timing (needs valgrind and Cython)",
    )
    options = arguments.parse_args()
    mode = instruction_counts.instruction_mode if options.instructions else timing_mode
    return mode(options.quick)


if __name__ == "__main__":
    sys.exit(main())
