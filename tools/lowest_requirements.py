"""Print the runtime dependencies of the installed velk pinned to their
lower bounds ("defusedxml==0.6"), one a line, for `make test-lowest`.

A dependency without a lower bound ("name>=VERSION") fails it: every
runtime dependency must say the oldest version velk works with, and CI
installs exactly that one."""
import re
import sys
from importlib import metadata

# "name>=1.2" with nothing after it but other bounds ("name>=1.2,<3").
_LOWER = re.compile(r"([A-Za-z0-9][A-Za-z0-9._-]*)\s*(?:\[[^\]]*\])?\s*>=\s*([0-9][^,;\s]*)")


def main() -> int:
    pinned = []
    for requirement in metadata.requires("velk") or []:
        if "extra ==" in requirement:
            continue
        match = _LOWER.match(requirement)
        if match is None:
            sys.stderr.write("lowest_requirements: %r has no lower bound (name>=VERSION)\n"
                             % requirement)
            return 1
        pinned.append("%s==%s" % match.groups())
    print("\n".join(pinned))
    return 0


if __name__ == "__main__":
    sys.exit(main())
