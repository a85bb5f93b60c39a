#!/usr/bin/python3
"""Compares the catalogue of this machine's installed fonts, face by face,
with what fontTools reads from the same files, and prints the differences.

  bench/compare_catalogue.py BUILD_DIR

Runs BUILD_DIR/bench/font_catalogue_bench --dump under the current locale
variables and tests/font_fixtures/font_facts.py over every file fc-list names.
"""
import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
facts_tool = os.path.join(here, "..", "tests", "font_fixtures", "font_facts.py")


def languages():
    raw = os.environ.get("LANGUAGE", "").split(":") if os.environ.get("LANGUAGE") else []
    if not raw:
        for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
            if os.environ.get(name):
                raw = [os.environ[name]]
                break
    tags = []
    for locale in raw:
        tag = locale.split(".")[0].split("@")[0]
        if not tag or tag in ("C", "POSIX"):
            continue
        tag = tag.replace("_", "-").lower()
        tags.append(tag)
        if "-" in tag:
            tags.append(tag.split("-")[0])
    return tags


def main():
    build = sys.argv[1]
    sent = json.loads(subprocess.run([os.path.join(build, "bench", "font_catalogue_bench"), "--dump"],
                                     check=True, capture_output=True).stdout)
    listed = subprocess.run(["fc-list", ":", "file"], check=True, capture_output=True,
                            text=True).stdout.splitlines()
    files = sorted({line.rsplit(":", 1)[0] for line in listed if line.strip()})
    langs = ",".join(languages()) or "-"
    declared = json.loads(subprocess.run(["/usr/bin/python3", facts_tool, "facts", langs] + files,
                                         check=True, capture_output=True).stdout)
    faces = sum(len(v) for v in sent.values())
    differing = 0
    for path in sorted(set(sent) | set(declared)):
        a, b = sent.get(path, []), declared.get(path, [])
        if a == b:
            continue
        differing += 1
        print(path)
        if len(a) != len(b):
            print("  faces sent %d, declared %d" % (len(a), len(b)))
        for x, y in zip(a, b):
            diff = {k: (x.get(k), y.get(k)) for k in sorted(set(x) | set(y)) if x.get(k) != y.get(k)}
            if diff:
                print("  sent vs declared:", diff)
    print("%d files, %d faces sent; %d files differ" % (len(set(sent) | set(declared)), faces,
                                                        differing))


if __name__ == "__main__":
    main()
