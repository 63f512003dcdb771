"""Times node selection over a large manifest: three selectors and one exclusion.

Run: .venv/bin/python bench/selection.py [--nodes N] [--repeat R]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from kor.config.runtime import RuntimeConfig  # noqa: E402
from kor.task.profile import ProfileTask  # noqa: E402
from tests.builders import flags, manifest, model, source  # noqa: E402

SELECT = ("source:raw.*", "model:stg_*", "orders_17")
EXCLUDE = ("source:raw.orders_1*",)


def build_manifest(count: int):
    """Half sources (in two groups), half models (two name prefixes)."""
    half = count // 2
    sources = [source("raw" if i % 2 else "ext", f"orders_{i}", f"orders_{i}_tbl")
               for i in range(half)]
    models = [model(f"stg_orders_{i}" if i % 2 else f"dim_orders_{i}") for i in range(count - half)]
    return manifest(*sources, *models)


def time_selection(task: ProfileTask, repeat: int) -> tuple[list[float], int]:
    times = []
    selected = 0
    for _ in range(repeat):
        start = time.perf_counter()
        selected = len(task._get_selected_nodes())
        times.append(time.perf_counter() - start)
    return times, selected


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    options = parser.parse_args()

    graph = build_manifest(options.nodes)
    config = RuntimeConfig(Path("."), "shop", "dev", {"type": "duckdb"})
    cases = [
        ("3 selectors + 1 exclusion", flags(SELECT=SELECT, EXCLUDE=EXCLUDE)),
        ("3 selectors", flags(SELECT=SELECT)),
        ("default + 1 exclusion", flags(EXCLUDE=EXCLUDE)),
    ]
    print(f"manifest: {len(graph.sources):,} sources, {len(graph.nodes):,} models; "
          f"{options.repeat} repetitions")
    print(f"{'case':<28} {'selected':>9} {'best ms':>9} {'median ms':>10}")
    for label, args in cases:
        task = ProfileTask(args, config, graph)
        times, selected = time_selection(task, options.repeat)
        print(f"{label:<28} {selected:>9,} {min(times) * 1000:>9.1f} "
              f"{statistics.median(times) * 1000:>10.1f}")


if __name__ == "__main__":
    main()
