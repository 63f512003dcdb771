"""Takes the README's screenshots of the report into docs/screenshots/, 1,400 x 1,000 each.

The scene: examples/shop, copied to a temporary folder, with a table of 60 columns added
(raw.sensors), its sources and model profiled four times by `zel profile run`; between runs
the warehouse changes: raw.orders shrinks and grows, raw.sensors loses rows, raw.customers
drops its column `tier` before the last run. The pages are rendered to files and shot by
headless Chromium: the overview, the page of raw.sensors (its changes folded), the alerts
page, and the page of raw.customers for its changes since the run before.

Run: .venv/bin/python bench/screenshots.py [--out DIR]   (needs `chromium` on the PATH)
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import duckdb

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from kor.report import site  # noqa: E402
from kor.report.site import ReportSource  # noqa: E402

WINDOW = "--window-size=1400,1000"
# The rows of raw.orders and raw.sensors in each run, and whether raw.customers has `tier`.
RUNS = ((100_000, 17_000, True), (100_000, 16_500, True), (90_000, 15_500, True),
        (120_000, 14_000, False))


def sensor_column(index: int) -> str:
    """Column `index` of raw.sensors: one of six kinds in turn, after a first key."""
    kind = index % 6
    if index == 0:
        return "i AS reading_0"
    if kind == 1:
        return (f"CASE WHEN i % {index % 5 + 2} = 0 THEN NULL "
                f"ELSE i + 1.0 / {index + 6} END AS level_{index}")
    if kind == 2:
        return f"'site-' || (i % {index * 7}) AS label_{index}"
    if kind == 3:
        return f"{index + 4}::INTEGER AS constant_{index}"
    if kind == 4:
        return f"TIMESTAMP '2025-01-01' + INTERVAL (i * {index}) MINUTE AS seen_{index}"
    if kind == 5:
        return f"CASE WHEN i % 3 = 0 THEN NULL ELSE i % 2 = 0 END AS flag_{index}"
    return f"(hash(i * {index}) % 1000000000)::BIGINT AS counter_{index}"


def change_warehouse(warehouse: Path, orders: int, sensors: int, tier: bool) -> None:
    """The warehouse as a run finds it, made from the full tables kept in kept.duckdb."""
    with duckdb.connect(str(warehouse)) as connection:
        connection.execute(f"ATTACH '{warehouse.with_name('kept.duckdb')}' AS kept")
        connection.execute("CREATE OR REPLACE TABLE orders AS SELECT * FROM kept.orders "
                           "WHERE order_id <= $orders", {"orders": orders})
        connection.execute(
            "CREATE OR REPLACE TABLE customers AS SELECT *"
            + (", ['gold', 'silver', 'bronze'][1 + customer_id % 3] AS tier" if tier else "")
            + " FROM kept.customers")
        columns = ", ".join(sensor_column(index) for index in range(60))
        connection.execute(f"CREATE OR REPLACE TABLE sensors AS SELECT {columns} "
                           "FROM range(1, $rows + 1) r(i)", {"rows": sensors})


def scene(folder: Path) -> Path:
    """examples/shop with raw.sensors, profiled four times; the project's folder."""
    project = folder / "shop"
    shutil.copytree(ROOT / "examples" / "shop", project,
                    ignore=shutil.ignore_patterns("warehouse.duckdb*", "data", "target", ".zel"))
    models = project / "models" / "shop.yml"
    models.write_text(models.read_text().replace(
        "      - name: customers\n", "      - name: customers\n      - name: sensors\n"))
    warehouse = project / "warehouse.duckdb"
    subprocess.run([sys.executable, str(project / "generate.py"), str(warehouse)], check=True,
                   stdout=subprocess.DEVNULL)
    with duckdb.connect(str(warehouse.with_name("kept.duckdb"))) as kept:
        kept.execute(f"ATTACH '{warehouse}' AS shop (READ_ONLY)")
        kept.execute("CREATE TABLE orders AS SELECT * FROM shop.orders")
        kept.execute("CREATE TABLE customers AS SELECT * FROM shop.customers")
    zel = Path(sys.executable).with_name("zel")
    for orders, sensors, tier in RUNS:
        change_warehouse(warehouse, orders, sensors, tier)
        # Alerts end a run with status 0 here: no --fail-on.
        subprocess.run([str(zel), "profile", "run", "--project-dir", str(project),
                        "-s", "source:raw.*", "-s", "model:customer_*"], check=True,
                       stdout=subprocess.DEVNULL)
    return project


def shoot(page: str, folder: Path, png: Path) -> None:
    """`page` as headless Chromium shows it in a window of 1,400 x 1,000."""
    html = folder / f"{png.stem}.html"
    html.write_text(page, encoding="utf-8")
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                    f"--user-data-dir={folder / 'chromium'}", f"--screenshot={png}", WINDOW,
                    html.as_uri()], check=True,
                   capture_output=True, timeout=120)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "screenshots")
    options = parser.parse_args()
    options.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        source = ReportSource.for_project(scene(folder))
        sensors = site.table_page(source, "raw", "sensors")
        customers = site.table_page(source, "raw", "customers")
        assert sensors is not None and customers is not None
        pages = {
            "overview": site.overview_page(source),
            # Folded, so the columns show: a list of 200 changes would fill the window.
            "table": sensors.replace("<details open>", "<details>", 1),
            "alerts": site.alerts_page(source),
            "diff": customers,
        }
        for name, page in pages.items():
            shoot(page, folder, options.out / f"{name}.png")
            print(options.out / f"{name}.png")


if __name__ == "__main__":
    main()
