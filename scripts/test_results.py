#!/usr/bin/env python3
"""Prints every test's result from GoogleTest XML reports, one line each, and
the messages of those that failed, so each result reaches the log whatever
became of the test program's own output. Exits 1 when a report is missing or
holds a failure."""
import sys
import xml.etree.ElementTree as ElementTree


def main(paths):
    ok = True
    for path in paths:
        try:
            root = ElementTree.parse(path).getroot()
        except (OSError, ElementTree.ParseError) as error:
            print(f"{path}: no report ({error})")
            ok = False
            continue
        failed = 0
        for case in root.iter("testcase"):
            name = f"{case.get('classname')}.{case.get('name')}"
            failures = case.findall("failure")
            skipped = case.find("skipped") is not None or case.get("result") == "skipped"
            verdict = "FAIL" if failures else "SKIP" if skipped else "PASS"
            print(f"{verdict} {name} ({case.get('time')} s)")
            for failure in failures:
                failed += 1
                for line in (failure.get("message") or "").splitlines():
                    print(f"     {line}")
        print(f"{path}: {root.get('tests')} tests, {root.get('failures')} failed, {root.get('time')} s")
        ok = ok and failed == 0
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
