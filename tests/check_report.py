#!/usr/bin/env python3
"""Checks brimful JSON reports against the report schema.

usage: check_report.py SCHEMA REPORT...

Prints one line per report: "ok", or "invalid: " and the first problem.
Besides what JSON Schema can say, the keys of every object must come in
the order in which the schema lists that object's properties; an optional
key that is present must stand in its listed place.
The other schemas beside SCHEMA may be referred to by their "$id".
Exits 2 when the schema itself is unusable.
"""

import json
import pathlib
import sys

import jsonschema


def property_orders(schema, found):
    """Every key list of a "properties" keyword in the schema."""
    if isinstance(schema, dict):
        for key, value in schema.items():
            if key == "properties" and isinstance(value, dict):
                found.append(list(value))
            property_orders(value, found)
    elif isinstance(schema, list):
        for value in schema:
            property_orders(value, found)
    return found


class Ordered(list):
    """An object's members as (key, value) pairs, in document order."""


def to_plain(value):
    if isinstance(value, Ordered):
        return {key: to_plain(member) for key, member in value}
    if isinstance(value, list):
        return [to_plain(item) for item in value]
    return value


def order_problem(value, orders, where):
    if isinstance(value, Ordered):
        keys = [key for key, _ in value]
        if len(set(keys)) != len(keys):
            return f"{where}: duplicate key"
        # An object may leave out optional keys, so its keys must follow
        # every order that holds them all, with gaps where keys are left out.
        for order in orders:
            if set(keys) <= set(order) and keys != [key for key in order if key in keys]:
                return f"{where}: keys {keys} are not in the order {order}"
        for key, member in value:
            problem = order_problem(member, orders, f"{where}.{key}")
            if problem:
                return problem
    elif isinstance(value, list):
        for index, item in enumerate(value):
            problem = order_problem(item, orders, f"{where}[{index}]")
            if problem:
                return problem
    return None


def check(path, validator, orders):
    try:
        with open(path, encoding="utf-8") as file:
            document = json.load(file, object_pairs_hook=Ordered)
    except ValueError as error:
        return f"invalid: not JSON: {error}"
    error = jsonschema.exceptions.best_match(validator.iter_errors(to_plain(document)))
    if error is not None:
        location = "".join(f"[{part!r}]" for part in error.absolute_path)
        return f"invalid: {location or 'document'}: {error.message}"
    problem = order_problem(document, orders, "document")
    return f"invalid: {problem}" if problem else "ok"


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], encoding="utf-8") as file:
        schema = json.load(file)
    try:
        jsonschema.Draft202012Validator.check_schema(schema)
    except jsonschema.exceptions.SchemaError as error:
        print(f"schema: {error.message}", file=sys.stderr)
        return 2
    store = {}
    orders = property_orders(schema, [])
    for other in sorted(pathlib.Path(sys.argv[1]).parent.glob("*.schema.json")):
        contents = json.loads(other.read_text(encoding="utf-8"))
        store[contents["$id"]] = contents
        if contents["$id"] != schema["$id"]:
            property_orders(contents, orders)
    try:  # jsonschema 4.18 and later
        import referencing
        registry = referencing.Registry().with_resources(
            (uri, referencing.Resource.from_contents(contents)) for uri, contents in store.items())
        validator = jsonschema.Draft202012Validator(schema, registry=registry)
    except ImportError:  # Debian 12's 4.10
        resolver = jsonschema.RefResolver.from_schema(schema, store=store)
        validator = jsonschema.Draft202012Validator(schema, resolver=resolver)
    for path in sys.argv[2:]:
        print(check(path, validator, orders))
    return 0


if __name__ == "__main__":
    sys.exit(main())
