"""Creates the demo warehouse, deterministically: python generate.py [PATH].

Its tables are also written as Parquet files to data/ beside the warehouse, which the project's
`spark` target registers as tables of a local Spark session.
"""

from __future__ import annotations

import sys
from pathlib import Path

import duckdb

SQL = """
CREATE OR REPLACE TABLE customers AS
SELECT i AS customer_id,
       'customer_' || i AS name,
       CASE WHEN hash(i) % 10 = 0 THEN NULL ELSE 'c' || i || '@example.com' END AS email,
       CASE WHEN i % 7 = 0 THEN '' ELSE ['north', 'south', 'east', 'west'][1 + i % 4] END AS region,
       DATE '2020-01-01' + (i % 1500)::INTEGER AS signed_up,
       i % 3 = 0 AS is_active
FROM range(1, 5001) r(i);

CREATE OR REPLACE TABLE orders AS
SELECT i AS order_id,
       1 + (hash(i) % 5000)::INTEGER AS customer_id,
       ['placed', 'shipped', 'delivered', 'returned'][1 + (hash(i * 7) % 4)::INTEGER] AS status,
       CASE WHEN i % 13 = 0 THEN NULL
            ELSE ((hash(i * 3) % 100000) / 100.0)::DECIMAL(10,2) END AS amount,
       TIMESTAMP '2024-01-01' + INTERVAL (i % 31536000) SECOND AS placed_at,
       'EUR' AS currency
FROM range(1, 120001) r(i);

CREATE OR REPLACE TABLE product_catalog AS
SELECT i AS product_id, 'product ' || i AS title, (i % 50) * 1.5 AS price,
       NULL::VARCHAR AS discontinued_reason
FROM range(1, 201) r(i);

CREATE OR REPLACE VIEW customer_orders_v AS
SELECT c.customer_id, c.region, COUNT(o.order_id) AS orders, SUM(o.amount) AS revenue
FROM customers c LEFT JOIN orders o USING (customer_id)
GROUP BY c.customer_id, c.region;
"""


# What Spark reads: the tables, and the view as the table it computes.
PARQUET_TABLES = ("customers", "orders", "product_catalog", "customer_orders_v")


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("warehouse.duckdb")
    data = path.parent / "data"
    data.mkdir(exist_ok=True)
    with duckdb.connect(str(path)) as connection:
        connection.execute(SQL)
        for table in PARQUET_TABLES:
            connection.execute(f"COPY {table} TO '{data / table}.parquet' (FORMAT parquet)")
    print(f"demo warehouse written to {path}, its tables as Parquet to {data}")


if __name__ == "__main__":
    main()
