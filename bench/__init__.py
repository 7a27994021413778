"""Benchmarks of kvo_fa against a plain-Python implementation of the same
operations (bench/baseline) and the interpreter floor, on pyperf.

    PYTHONPATH=build/dev python3 -m bench [--quick] [--rigorous] [pyperf options]

Run from the repository root. See __main__.py for the options.
"""
