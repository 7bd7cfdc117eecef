"""count_zeros_before_non_zero against a plain-Python function of the same rule.

Run: ./run bench zeros    (prints ns per call for both and their ratio)
"""

import random
import sys
import timeit

from tessaly.quillvane import count_zeros_before_non_zero


def count_zeros_python(number):
    number_str = str(float(number))
    if "e-" in number_str:
        return int(number_str.split("e-")[1]) - 1
    if "." not in number_str:
        return 0
    decimal_part = number_str.split(".")[1]
    zeros_count = 0
    for char in decimal_part:
        if char != "0":
            return zeros_count
        zeros_count += 1
    return 0


def main():
    rng = random.Random(7)
    # Average coefficients as the scorecard build sees them: small magnitudes.
    values = [rng.uniform(0.5, 9.5) * 10.0 ** rng.randint(-7, 1) for _ in range(1000)]
    assert [count_zeros_before_non_zero(v) for v in values] == [count_zeros_python(v) for v in values]

    def run(f):
        def loop():
            for v in values:
                f(v)

        return loop

    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    best = {"extension": float("inf"), "python": float("inf")}
    # Interleaved rounds, best of each, so both see the same machine state.
    for _ in range(rounds):
        for name, f in (("extension", count_zeros_before_non_zero), ("python", count_zeros_python)):
            best[name] = min(best[name], timeit.timeit(run(f), number=200) / (200 * len(values)))
    for name, seconds in best.items():
        print(f"{name:>10}: {seconds * 1e9:8.1f} ns per call")
    print(f"     ratio: {best['python'] / best['extension']:8.2f}x faster")


if __name__ == "__main__":
    main()
