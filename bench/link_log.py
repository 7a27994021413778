"""What the link's logging costs a transaction on the simulated PLC: with the
kvo_mew loggers disabled (the default), with DEBUG enabled and every record
dropped by a NullHandler, and the one cached logging call the disabled case
makes per transaction.

    PYTHONPATH=build/dev python3 bench/link_log.py [--repeats N]
"""
import argparse
import logging
import statistics
import timeit

import kvo_mew


def per_call(statement, number, repeats, namespace):
    times = timeit.repeat(statement, number=number, repeat=repeats, globals=namespace)
    return statistics.median(times) / number * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    link = kvo_mew.VedUzavur("sim://bench-log")
    frames = logging.getLogger("kvo_mew.frames")
    namespace = {"link": link, "frames": frames}
    read = "link.get_multi_uint16(1, 'D0', 4)"
    try:
        disabled = per_call(read, args.number, args.repeats, namespace)
        check = per_call("frames.isEnabledFor(10)", args.number, args.repeats, namespace)
        logging.getLogger("kvo_mew").addHandler(logging.NullHandler())
        logging.getLogger("kvo_mew").setLevel(logging.DEBUG)
        enabled = per_call(read, args.number // 10, args.repeats, namespace)
    finally:
        logging.getLogger("kvo_mew").setLevel(logging.NOTSET)
        link.close()
    print("sim transaction, loggers disabled   %7.2f us" % disabled)
    print("  of which the logger check          %7.2f us" % check)
    print("sim transaction, frames at DEBUG     %7.2f us" % enabled)


if __name__ == "__main__":
    main()
