#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets.

usage: make_seeds.py OUT SHOOT SAMPLES

OUT      folder that receives one sub-folder per target
SHOOT    a sample shoot made by tools/make_sample_shoot (small size)
SAMPLES  the folder of real camera JPEGs

Each seed is laid out the way its target reads its input (see the header
comment of each *_fuzzer.cpp).
"""
import ast
import hashlib
import os
import subprocess
import sys

out, shoot, samples = sys.argv[1:4]
RE_TESTS = "/usr/lib/python3.11/test/re_tests.py"
RE2_SEARCH = "/usr/share/go-1.19/src/regexp/testdata/re2-search.txt"


def put(target, data):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- configuration and map -------------------------------------------------
MAP = (b'<?xml version="1.0"?>\n<hotpixels>\n <width>160</width>\n <height>120</height>\n'
       b' <pix x="17" y="5" r="3"/>\n <pix x="2048" y="1733" r="2.5"/>\n <pix x="-1" y="4" r="1"/>\n</hotpixels>')
configs = [read(os.path.join(shoot, "config.xml"))]
configs.append(b'<config><detect><indir>in/</indir><outfile>m.xml</outfile><amount>0.995</amount>'
               b'<outimage dxtext="12px" dytext=" -3">a.png</outimage></detect>'
               b'<heal><indir>a/</indir><outdir>b/</outdir><range>2,5</range>'
               b'<diffimages mul="1e3">1</diffimages></heal></config>')
configs.append(b'<!DOCTYPE config [<!ENTITY a "xx">]><config><heal><indir>&a;</indir><outdir/></heal></config>')
for mode in (b"\x00", b"\x01"):
    for config in configs:
        put("config", mode + config)
        put("config", mode + config + b"\n====\n" + MAP)

# ---- patterns and substitutions -------------------------------------------
patterns = []  # (pattern, subject)
try:
    source = open(RE_TESTS, encoding="latin-1").read()
    start = source.index("tests = [")
    for line in source[start:].splitlines():
        line = line.strip().rstrip(",")
        if not line.startswith("("):
            continue
        try:
            row = ast.literal_eval(line)
        except Exception:
            continue
        if isinstance(row, tuple) and len(row) >= 2 and isinstance(row[0], str) and isinstance(row[1], str):
            patterns.append((row[0], row[1]))
except OSError:
    pass
try:
    subjects, section = [], None
    for line in open(RE2_SEARCH, encoding="latin-1"):
        line = line.rstrip("\n")
        if line in ("strings", "regexps"):
            section = line
            if line == "strings":
                subjects = []
            continue
        if not line.startswith('"'):
            continue
        text = ast.literal_eval(line)
        if section == "strings":
            subjects.append(text)
        elif subjects:
            patterns.append((text, subjects[-1]))
except OSError:
    pass
patterns += [("(heal|detect)", "HEAL"), ("\\w+$", "IMG_0001.JPG"), ("\\.jpg", "a.jpg.bak"),
             ("(?R)", "x"), ("a(?R)?b", "aaabbb"), ("(?>a+)b", "aaab"), ("(?<=a)b", "ab"),
             ("(a)?(?(1)b|c)", "ab"), ("[[:alpha:]]+", "abc1"), ("(a*)*b", "aaaaaaaaac")]

SUBSTITUTIONS = [b"png", b"$1", b"$&", b"$`$'", b"\\U$&\\E", b"\\u$1", b"\\Qa$b\\E", b"$x", b"$", b"\\"]
seen = set()
for i, (pattern, subject) in enumerate(patterns):
    p = pattern.encode("latin-1", "replace")
    s = subject.encode("latin-1", "replace")
    if (p, s) in seen or len(p) > 96 or len(s) > 64 or b"\0" in p:
        continue
    seen.add((p, s))
    flags = [0, 1, 2, 4, 8, 16, 256, 512][i % 8]
    mode = i % 3
    head = bytes([flags & 0xFF, flags >> 8, mode])
    put("regex", head + p + b"\0" + s)
    if b"\0" not in s:
        put("substitution", head + p + b"\0" + SUBSTITUTIONS[i % len(SUBSTITUTIONS)] + b"\0" + s)

# ---- images ------------------------------------------------------------------
images = []
for folder in ("photos", "dark"):
    path = os.path.join(shoot, folder)
    for name in sorted(os.listdir(path)):
        images.append(read(os.path.join(path, name)))
# The camera files, cut to a corner without decoding (markers, tables and
# sampling stay the camera's), so that one run takes milliseconds.
for name in sorted(os.listdir(samples)):
    if not name.endswith(".jpg"):
        continue
    try:
        images.append(subprocess.run(["jpegtran", "-crop", "96x80+0+0", "-copy", "all",
                                      os.path.join(samples, name)], check=True, capture_output=True).stdout)
        images.append(subprocess.run(["jpegtran", "-crop", "64x48+0+0", "-copy", "all", "-progressive",
                                      os.path.join(samples, name)], check=True, capture_output=True).stdout)
    except (OSError, subprocess.CalledProcessError):
        pass
    if os.path.getsize(os.path.join(samples, name)) < 40000:
        images.append(read(os.path.join(samples, name)))
for image in images:
    if image[:2] == b"\xff\xd8":
        put("transplant", image)
    for option in (0, 0x0B, 0x41, 0x12):
        put("heal_file", bytes([option]) + image)
