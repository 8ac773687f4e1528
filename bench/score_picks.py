#!/usr/bin/env python3
"""Scores a multi search's --report against a photo workspace's truth.tsv
(bench/photo_workspace.cpp): per kind of crop, the share of crops whose picked image is their
source, located (corner and size) within 2 pixels (or 2 % of the crop's size when it was
resized: the scale within 2 % too), and accepted
(verdict exact or found) while right; crops of photographs held out of the collection must never
be accepted.

usage: score_picks.py TRUTH.tsv REPORT.tsv [REPORT.tsv ...]   (one column of figures per report)
"""
import collections
import csv
import sys


def read_tsv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def score(truth, rows):
    by_file = {row["pattern_file"]: row for row in rows}
    kinds = collections.OrderedDict()
    for t in truth:
        kind = t["kind"] if t["in_collection"] == "1" else "held out (" + t["kind"] + ")"
        k = kinds.setdefault(kind, collections.Counter())
        k["crops"] += 1
        row = by_file.get(t["pattern"])
        if row is None:
            k["missing"] += 1
            continue
        accepted = row["verdict"] in ("exact", "found")
        if t["in_collection"] != "1":
            k["accepted"] += accepted
            continue
        scale = float(t["scale"]) or 1
        right = row["picked_name"] == t["source"]
        k["top1"] += right
        located = False
        if right and row["crop_x"] != "":
            slack = 2 if scale == 1 else max(2, 0.02 * max(int(t["width"]), int(t["height"])))
            located = (abs(float(row["crop_x"]) - int(t["x"])) <= slack and
                       abs(float(row["crop_y"]) - int(t["y"])) <= slack and
                       abs(float(row["crop_width"]) - int(t["width"])) <= slack and
                       abs(float(row["crop_height"]) - int(t["height"])) <= slack)
        k["located"] += located
        k["accepted"] += accepted and located
    return kinds


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    truth = read_tsv(argv[1])
    columns = [score(truth, read_tsv(path)) for path in argv[2:]]
    print("kind\tcrops\t" + "\t".join("top-1 / located / accepted (%s)" % p for p in argv[2:]))
    for kind in columns[0]:
        n = columns[0][kind]["crops"]
        cells = []
        for c in columns:
            k = c[kind]
            if kind.startswith("held out"):
                cells.append("accepted %d of %d" % (k["accepted"], n))
            else:
                cells.append("%.0f / %.0f / %.0f %%" % (100 * k["top1"] / n, 100 * k["located"] / n,
                                                       100 * k["accepted"] / n))
        print("%s\t%d\t%s" % (kind, n, "\t".join(cells)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
