#!/usr/bin/python3
"""Validates an OpenAPI document (argument 1) against the OpenAPI 3.0 JSON schema (argument 2, as the
build fetched it), and checks that every $ref points into the document."""
import json
import sys

import jsonschema



def refs(node):
    if isinstance(node, dict):
        for k, v in node.items():
            if k == "$ref":
                yield v
            else:
                yield from refs(v)
    elif isinstance(node, list):
        for v in node:
            yield from refs(v)


def main():
    doc = json.load(open(sys.argv[1]))
    schema = json.load(open(sys.argv[2]))
    errors = sorted(jsonschema.Draft4Validator(schema).iter_errors(doc), key=lambda e: list(e.path))
    for e in errors[:10]:
        print("openapi: %s: %s" % ("/".join(map(str, e.path)), e.message), file=sys.stderr)
    missing = [r for r in refs(doc) if not r.startswith("#/components/schemas/")
               or r.split("/")[-1] not in doc.get("components", {}).get("schemas", {})]
    for r in missing:
        print("openapi: dangling $ref %s" % r, file=sys.stderr)
    sys.exit(1 if errors or missing else 0)


main()
