"""Straightforward pure-Python versions of what the native modules do.

Tests use them as oracles and benchmarks as baselines, so both compare the
native code with one and the same reading of its documented steps. Nothing
here ships in the package.
"""
