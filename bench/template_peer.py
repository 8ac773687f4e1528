#!/usr/bin/python3
"""A template matcher at a quarter scale, the peer the indexed search is compared with.

Every pattern of WORKSPACE/patterns is matched against every image of WORKSPACE/database, both
shrunk four times with area averaging, by OpenCV's normalised correlation (TM_CCOEFF_NORMED); the
image of the highest peak is picked. With --scales 9 the pattern is also tried at 0.5 to 2 times
its size (9 scales, evenly spaced in log), the highest peak of all kept. One thread.

    template_peer.py WORKSPACE [--copies N] [--limit P] [--scales 1|9]

--copies N matches against the database's images N times over: the cost of a collection of N
times as many images of the same sizes (the matcher's cost is linear in the collection's
pixels). --limit P matches the first P patterns of every kind only. Prints, per kind, the
top-1 rate against WORKSPACE/truth.tsv, and the milliseconds per pattern.
Needs python3-opencv (apt-get install python3-opencv).
"""
import argparse
import collections
import csv
import os
import sys
import time

import cv2

parser = argparse.ArgumentParser()
parser.add_argument("workspace")
parser.add_argument("--copies", type=int, default=1)
parser.add_argument("--limit", type=int, default=0)
parser.add_argument("--scales", type=int, default=1, choices=(1, 9))
args = parser.parse_args()
cv2.setNumThreads(1)


def quarter(image):
    return cv2.resize(image, (max(1, image.shape[1] // 4), max(1, image.shape[0] // 4)),
                      interpolation=cv2.INTER_AREA)


def grey(path):
    image = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    if image is None:
        sys.exit(f"{path}: not an image")
    return image


folder = os.path.join(args.workspace, "database")
images = [(os.path.splitext(name)[0], quarter(grey(os.path.join(folder, name))))
          for name in sorted(os.listdir(folder))]
truth = {}
with open(os.path.join(args.workspace, "truth.tsv")) as file:
    for row in csv.DictReader(file, delimiter="\t"):
        truth[row["pattern"]] = row
scales = [1.0] if args.scales == 1 else [0.5 * 4 ** (k / 8) for k in range(9)]

taken = collections.Counter()
right = collections.Counter()
patterns = collections.Counter()
seconds = 0.0
for name in sorted(os.listdir(os.path.join(args.workspace, "patterns"))):
    row = truth.get(name)
    if row is None:
        continue
    kind = row["kind"] if row["in_collection"] == "1" else "held out (%s)" % row["kind"]
    if args.limit and taken[kind] >= args.limit:
        continue
    taken[kind] += 1
    pattern = grey(os.path.join(args.workspace, "patterns", name))
    start = time.perf_counter()
    best = (-2.0, "")
    for scale in scales:
        size = (round(pattern.shape[1] * scale / 4), round(pattern.shape[0] * scale / 4))
        if size[0] < 2 or size[1] < 2:
            continue
        small = cv2.resize(pattern, size, interpolation=cv2.INTER_AREA)
        for copy in range(args.copies):
            for image_name, image in images:
                if image.shape[0] < small.shape[0] or image.shape[1] < small.shape[1]:
                    continue
                peak = cv2.minMaxLoc(cv2.matchTemplate(image, small, cv2.TM_CCOEFF_NORMED))[1]
                if copy == 0 and peak > best[0]:
                    best = (peak, image_name)
    seconds += time.perf_counter() - start
    patterns[kind] += 1
    right[kind] += best[1] == row["source"]

print("kind\tpatterns\ttop-1 %")
for kind in patterns:
    print(f"{kind}\t{patterns[kind]}\t{100 * right[kind] / patterns[kind]:.0f}")
count = sum(patterns.values())
print(f"{len(images) * args.copies} images, {count} patterns: "
      f"{1000 * seconds / max(1, count):.1f} ms per pattern")
