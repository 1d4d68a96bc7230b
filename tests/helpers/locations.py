"""Where the tests find the repository's files."""

import os

HELPERS = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(os.path.dirname(HELPERS))
BENCHMARKS = os.path.join(REPOSITORY, "benchmarks")
README = os.path.join(REPOSITORY, "README.md")
