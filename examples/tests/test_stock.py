import json
import time

import pytest


@pytest.fixture(scope="class")
def stock(catalogue):
    return {name: entry["stock"] for name, entry in json.loads(catalogue.read_text()).items()}


class TestStock:
    def test_in_stock(self, stock):
        assert stock["apple"] > 0

    def test_sold_out(self, stock):
        assert stock["pear"] == 0

    @pytest.mark.parametrize("item", ["apple", "plum"])
    def test_restock_is_slow(self, stock, item):
        time.sleep(0.25)  # a warehouse call
        assert stock[item] > 0


@pytest.mark.xdist_group("warehouse")
def test_warehouse_sync_a(worker_name):
    time.sleep(0.4)
    assert worker_name


@pytest.mark.xdist_group("warehouse")
def test_warehouse_sync_b(worker_name):
    time.sleep(0.2)
    assert worker_name
