"""The small library the example suite tests."""

import json


def discount(quantity):
    """Volume discount as a fraction of the price."""
    for threshold, rate in ((100, 0.15), (50, 0.1), (10, 0.05)):
        if quantity >= threshold:
            return rate
    return 0.0


def basket_total(catalogue_path, basket):
    with open(catalogue_path) as f:
        catalogue = json.load(f)
    quantity = sum(basket.values())
    total = sum(catalogue[item]["price"] * count for item, count in basket.items())
    return total * (1 - discount(quantity))
