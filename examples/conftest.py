"""Fixtures shared by the example suite: one per scope pytest offers."""

import json
import os
import sqlite3

import pytest


@pytest.fixture(scope="session")
def worker_name():
    # Set by the controller for each worker; absent in a plain serial run.
    return os.environ.get("PYTEST_XDIST_WORKER", "serial")


@pytest.fixture(scope="session")
def catalogue(tmp_path_factory):
    """A small product catalogue on disk, written once per worker."""
    path = tmp_path_factory.mktemp("data") / "catalogue.json"
    path.write_text(
        json.dumps(
            {
                "apple": {"price": 0.5, "stock": 120},
                "pear": {"price": 0.75, "stock": 0},
                "plum": {"price": 0.3, "stock": 42},
            }
        )
    )
    return path


@pytest.fixture(scope="module")
def database():
    """An in-memory database shared by the tests of one module."""
    connection = sqlite3.connect(":memory:")
    connection.execute("create table orders (id integer primary key, item text, quantity integer)")
    yield connection
    connection.close()


@pytest.fixture
def order_rows(database):
    """Rows inserted for one test and removed afterwards."""
    rows = [("apple", 3), ("plum", 10)]
    database.executemany("insert into orders (item, quantity) values (?, ?)", rows)
    yield rows
    database.execute("delete from orders")
