"""The frame of the tests that are a table of named cases, each run alone:

    SCRIPT BUILD_DIR CASE      run one case
    SCRIPT --list              the case names
"""
import sys


class Failure(AssertionError):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    print("ok   " + what)


def main(cases, run_case):
    """run_case(build, name) raises AssertionError (Failure among them) when the case fails."""
    if len(sys.argv) == 2 and sys.argv[1] == "--list":
        print("\n".join(cases))
        return 0
    build, name = sys.argv[1], sys.argv[2]
    try:
        run_case(build, name)
    except AssertionError as failure:
        print("FAIL " + str(failure))
        return 1
    print("PASS " + name)
    return 0
