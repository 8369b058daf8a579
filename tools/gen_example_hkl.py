#!/usr/bin/env python3
"""Simulated HKLF 4 reflections of the shipped rock-salt example.

Intensities are |F|^2 of NaCl (Fm-3m, a = 5.6402 A, Na at 0 0 0, Cl at 1/2 1/2 1/2)
for Mo K-alpha, with the X-ray form factors of data/scatter/xray_it92.dat,
isotropic displacement U(Na) = 0.0165, U(Cl) = 0.0140 A^2, on an arbitrary
scale, with a small deterministic error and counting-statistics sigmas. Every
reflection of the full sphere to sin(theta)/lambda = 0.75 is written once, so
the merging of equivalents has something to do.

Usage: tools/gen_example_hkl.py > examples/nacl/nacl.hkl
"""
import math

A = 5.6402
SMAX = 0.75
U = {"Na": 0.0165, "Cl": 0.0140}
SCALE = 1.0


def gaussians(el):
    for line in open("data/scatter/xray_it92.dat"):
        w = line.split()
        if w and w[0] == el:
            return [float(x) for x in w[1:10]]
    raise SystemExit("no form factor for " + el)


COEF = {el: gaussians(el) for el in U}


def f0(el, s):
    c = COEF[el]
    return sum(c[i] * math.exp(-c[4 + i] * s * s) for i in range(4)) + c[8]  # a1..a4, b1..b4, c


def main():
    n = int(2 * SMAX * A) + 1
    seed = 12345
    for h in range(-n, n + 1):
        for k in range(-n, n + 1):
            for l in range(-n, n + 1):
                if (h, k, l) == (0, 0, 0):
                    continue
                if len({h % 2, k % 2, l % 2}) != 1:
                    continue  # F centring
                s = math.sqrt(h * h + k * k + l * l) / (2 * A)
                if s > SMAX:
                    continue
                t = {el: f0(el, s) * math.exp(-8 * math.pi ** 2 * U[el] * s * s) for el in U}
                sign = 1 if h % 2 == 0 else -1
                f = 4 * (t["Na"] + sign * t["Cl"])
                i = SCALE * f * f
                seed = (seed * 1103515245 + 12345) % 2 ** 31
                noise = (seed / 2 ** 31 - 0.5) * 0.02
                sig = math.sqrt(i + 4.0) + 0.005 * i
                print(f"{h:4d}{k:4d}{l:4d}{i * (1 + noise):8.2f}{sig:8.2f}   1")
    print(f"{0:4d}{0:4d}{0:4d}{0:8.2f}{0:8.2f}   0")


if __name__ == "__main__":
    main()
