#!/usr/bin/python3
"""Writes the scattering and element tables under data/ from published numbers.

The numbers come from the data tables shipped with Debian packages
(python3-cctbx, python3-gemmi, python3-periodictable): only their tabulated
values are read here, never their algorithms copied. Run from the repository
root:   /usr/bin/python3 tools/gen_scat_data.py
Requires: apt-get install python3-cctbx python3-gemmi python3-periodictable

Files written (format of each in its header):
  data/scatter/xray_it92.dat     Gaussian X-ray form factors (Vol. C Table 6.1.1.4)
  data/scatter/fprime_kalpha.dat f', f'' for Cr, Fe, Co, Cu, Mo, Ag K-alpha1
  data/scatter/fprime_grid.dat   f', f'' on an energy grid 4-124 keV
  data/scatter/neutron.dat       bound coherent scattering lengths (Sears 1992)
  data/scatter/electron.dat      Gaussian electron form factors (Vol. C Table 4.3.2.2)
  data/scatter/magnetic.dat      <j0>, <j2>, <j4> coefficients (Vol. C 4.4.5)
  data/elements.dat              Z, atomic weight, covalent and van der Waals radii
data/scatter/anodes.dat is written by hand (it is short) and only read here.
"""
import math
import os
import re
import sys

import gemmi
import periodictable as pt
from cctbx.eltbx import neutron, tiny_pse, xray_scattering

VERSION_LINE = "# Tarnwork data version 1.0.0"
OUT = "data"


def write(path, header, rows):
    full = os.path.join(OUT, path)
    os.makedirs(os.path.dirname(full) or ".", exist_ok=True)
    tmp = full + ".tmp"
    with open(tmp, "w") as f:
        f.write(VERSION_LINE + "\n")
        for h in header.strip("\n").split("\n"):
            f.write(("# " + h).rstrip() + "\n")
        for r in rows:
            f.write(r + "\n")
    os.replace(tmp, full)
    print(f"{full}: {len(rows)} rows")


def g6(x):
    # cctbx stores its tables as 32-bit floats; six significant digits give
    # back the published decimals.
    return f"{x:.6g}"


def xray():
    rows = []
    for it in xray_scattering.it1992_iterator():
        g = it.fetch()
        a = [g6(v) for v in g.array_of_a()]
        b = [g6(v) for v in g.array_of_b()]
        rows.append(f"{it.label():<6} " + " ".join(a + b + [g6(g.c())]))
    write("scatter/xray_it92.dat", """
X-ray atomic scattering factors, Gaussian approximation
  f(s) = sum_{i=1..4} a_i exp(-b_i s^2) + c,   s = sin(theta)/lambda in 1/Angstrom
Source: International Tables for Crystallography Vol. C (1992), Table 6.1.1.4
(fits to the free-atom values of Tables 6.1.1.1 and 6.1.1.3, valid for
0 <= s <= 2). Numbers carried over from the cctbx "it1992" table.
The published coefficients give f(0) = Z - charge to about 0.1 % only
(e.g. Fe 25.990, Tl 80.942).
Labels: element symbol, ions with charge digit and sign (Fe3+, O1-), "Cval"
and "Sival" valence-shell C and Si, "Hiso" spherical free-atom H ("H" is the
bonded hydrogen of Stewart, Davidson & Simpson).
Columns: label a1 a2 a3 a4 b1 b2 b3 b4 c      (b in Angstrom^2)
""", rows)


# K-alpha1 wavelengths (Angstrom) as in data/scatter/anodes.dat.
def read_anodes():
    lines = {}
    with open(os.path.join(OUT, "scatter/anodes.dat")) as f:
        for ln in f:
            if ln.startswith("#") or not ln.strip():
                continue
            w = ln.split()
            lines[w[0]] = float(w[1])
    return lines


def symbols(zmax=92):
    return [gemmi.Element(z).name for z in range(1, zmax + 1)]


def cl(z, energy_ev):
    # Cromer-Liberman f', f'' (Brennan & Cowan 1992 tabulation as evaluated by
    # gemmi); zero for H and He, which it does not cover.
    fp, fpp = gemmi.cromer_liberman(z=z, energy=energy_ev)
    return fp, fpp


def fprime_kalpha():
    anodes = read_anodes()
    order = ["Cr", "Fe", "Co", "Cu", "Mo", "Ag"]
    rows = []
    for z, el in enumerate(symbols(), start=1):
        vals = []
        for a in order:
            fp, fpp = cl(z, gemmi.hc / anodes[a])
            vals += [f"{fp:.4f}", f"{fpp:.4f}"]
        rows.append(f"{el:<3} " + " ".join(f"{v:>8}" for v in vals))
    write("scatter/fprime_kalpha.dat", f"""
Anomalous dispersion corrections f' and f'' (electrons) at the K-alpha1 lines
of the usual anodes, wavelengths (Angstrom) from data/scatter/anodes.dat:
  {"  ".join(f"{a} {anodes[a]}" for a in order)}
Source: Cromer-Liberman calculation in the Brennan & Cowan (1992, Rev. Sci.
Instrum. 63, 850) form, evaluated with gemmi's tabulation. The values of
International Tables Vol. C Table 4.2.6.8 (Creagh) for the same lines differ
from these by up to 0.02 in f' and 0.002 in f'' (e.g. Fe at Cu Ka: table
-1.1336 3.1974, here -1.1306 3.1973); no machine-readable copy of that table
was at hand. H and He: 0 (below the precision of either table).
Columns: element  f'(Cr) f''(Cr) f'(Fe) f''(Fe) f'(Co) f''(Co) f'(Cu) f''(Cu)
         f'(Mo) f''(Mo) f'(Ag) f''(Ag)
""", rows)


def fprime_grid():
    emin, emax, step = 4000.0, 124000.0, 0.02  # eV, eV, step in ln(E)
    n = int(math.ceil(math.log(emax / emin) / step))
    grid = [emin * math.exp(i * step) for i in range(n + 1)]
    rows = []
    for z, el in enumerate(symbols(), start=1):
        pts = {}
        for e in grid:
            pts[e] = cl(z, e)
        if z >= 3:
            # An absorption edge shows as a rise of f'' with energy. Locate each
            # one within 0.05 eV and put points either side of it, so that
            # interpolation never runs across an edge.
            for e1, e2 in zip(grid[:-1], grid[1:]):
                sub = [e1 + (e2 - e1) * k / 64 for k in range(65)]
                vals = [cl(z, e)[1] for e in sub]
                for k in range(64):
                    if vals[k + 1] > vals[k] * 1.0001 + 1e-6:
                        lo, hi = sub[k], sub[k + 1]
                        while hi - lo > 0.05:
                            mid = 0.5 * (lo + hi)
                            if cl(z, mid)[1] > cl(z, lo)[1] * 1.0001 + 1e-6:
                                hi = mid
                            else:
                                lo = mid
                        # f' has a logarithmic dip at the edge: points at
                        # distances 0.1, 0.2, 0.4 ... eV out to 3 % of the
                        # energy keep linear interpolation close to it.
                        d = 0.1
                        while d < 0.03 * lo:
                            for e in (lo - d, hi + d):
                                pts[e] = cl(z, e)
                            d *= 2
        for e in sorted(pts):
            fp, fpp = pts[e]
            rows.append(f"{el:<3} {e:10.2f} {fp:9.4f} {fpp:9.4f}")
    write("scatter/fprime_grid.dat", """
Anomalous dispersion corrections f' and f'' (electrons) against photon energy,
for wavelengths 0.1-3.1 Angstrom (energy 4-124 keV; lambda = 12398.42/E(eV)).
Source: Cromer-Liberman calculation in the Brennan & Cowan (1992, Rev. Sci.
Instrum. 63, 850) form, evaluated with gemmi's tabulation.
Grid: steps of 2 % in energy, plus points 0.1, 0.2, 0.4 ... eV (out to 3 %
of the energy) below and above each absorption edge. Interpolate linearly in ln(E) between neighbouring points of
one element. H and He: 0.
Columns: element energy(eV) f' f''   (rows of one element together, energy rising)
""", rows)


def neutron_lengths():
    rows = []
    for t in neutron.neutron_news_1992_table_iterator():
        lab = t.label()
        if re.search(r"\d[+-]$", lab):
            continue  # ions repeat the element's lengths
        b = t.bound_coh_scatt_length()
        rows.append(f"{lab:<3} {g6(b.real):>9} {g6(b.imag):>9} {g6(t.abs_cross_sect()):>9}")
    write("scatter/neutron.dat", """
Neutron bound coherent scattering lengths of the elements in their natural
isotopic mixture (D = deuterium), in fm (10^-15 m).
Source: V. F. Sears (1992), Neutron News 3(3), 26-37; numbers carried over from
the cctbx "neutron_news_1992" table.
Columns: element  b_c(real, fm)  b_c(imaginary, fm)  sigma_abs(barn, 2200 m/s)
""", rows)


def electron():
    rows = []
    for z in range(1, 99):
        el = gemmi.Element(z)
        c = el.c4322
        if not c or not any(c.a):
            continue
        rows.append(f"{el.name:<3} " + " ".join(repr(v) for v in list(c.a) + list(c.b)))
    write("scatter/electron.dat", """
Electron atomic scattering factors (elastic, in Angstrom), Gaussian approximation
  f_e(s) = sum_{i=1..5} a_i exp(-b_i s^2),   s = sin(theta)/lambda in 1/Angstrom
Source: International Tables for Crystallography Vol. C (2004), Table 4.3.2.2
(Peng, Ren, Dudarev & Whelan 1996, Acta Cryst. A52, 257; fit range 0 <= s <= 2),
numbers carried over from gemmi's "c4322" table.
Columns: element a1 a2 a3 a4 a5 b1 b2 b3 b4 b5      (b in Angstrom^2)
""", rows)


def magnetic():
    rows = []
    for el in pt.elements:
        ff = getattr(el, "magnetic_ff", None)
        if not ff:
            continue
        for q in sorted(ff):
            lab = el.symbol if q == 0 else f"{el.symbol}{q}+"
            for kind in ("j0", "j2", "j4"):
                c = getattr(ff[q], kind, None)
                if c is None:
                    continue
                rows.append(f"{lab:<5} {kind} " + " ".join(repr(v) for v in c))
    write("scatter/magnetic.dat", """
Magnetic form factors of transition-metal and rare-earth ions, radial integrals
  <j0>(s) = A exp(-a s^2) + B exp(-b s^2) + C exp(-c s^2) + D
  <jn>(s) = s^2 (A exp(-a s^2) + B exp(-b s^2) + C exp(-c s^2) + D), n = 2, 4
  s = sin(theta)/lambda in 1/Angstrom
Source: P. J. Brown, International Tables for Crystallography Vol. C, Section
4.4.5 (Tables 4.4.5.2 to 4.4.5.5); numbers carried over from the
periodictable package's magnetic_ff table. A neutral atom is written without
charge, an ion as Fe2+.
Columns: ion kind(j0|j2|j4) A a B b C c D        (a, b, c in Angstrom^2)
""", rows)


# Bondi (1964), J. Phys. Chem. 68, 441, Table I: van der Waals radii (Angstrom).
BONDI = {
    "H": 1.20, "He": 1.40, "C": 1.70, "N": 1.55, "O": 1.52, "F": 1.47, "Ne": 1.54,
    "Si": 2.10, "P": 1.80, "S": 1.80, "Cl": 1.75, "Ar": 1.88, "As": 1.85,
    "Se": 1.90, "Br": 1.85, "Kr": 2.02, "Te": 2.06, "I": 1.98, "Xe": 2.16,
    "Li": 1.82, "Na": 2.27, "Mg": 1.73, "K": 2.75, "Ni": 1.63, "Cu": 1.40,
    "Zn": 1.39, "Ga": 1.87, "Pd": 1.63, "Ag": 1.72, "Cd": 1.58, "In": 1.93,
    "Sn": 2.17, "Pt": 1.72, "Au": 1.66, "Hg": 1.55, "Tl": 1.96, "Pb": 2.02,
    "U": 1.86,
}


def elements():
    rows = []
    for el in list(pt.elements)[1:99]:
        r = el.covalent_radius
        rows.append(f"{el.symbol:<3} {el.number:3d} {el.mass!r:>12} "
                    f"{(f'{r:.2f}' if r else '-'):>5} "
                    f"{(f'{BONDI[el.symbol]:.2f}' if el.symbol in BONDI else '-'):>5}")
        if el.symbol == "H":
            d = pt.D
            rows.append(f"{'D':<3} {1:3d} {d.mass!r:>12} {r:5.2f} {BONDI['H']:5.2f}")
    write("elements.dat", """
Chemical elements: atomic number, atomic weight, covalent and van der Waals radii.
Atomic weight: IUPAC standard atomic weights as compiled by Coursey, Schwab &
  Dragoset, NIST Atomic Weights and Isotopic Composition database; for elements
  without stable isotopes the mass number of the longest-lived isotope.
  D is deuterium (2H).
Covalent radius (Angstrom): Cordero et al. (2008), Dalton Trans. 2832-2838
  (C sp3; Mn, Fe, Co low spin).
Van der Waals radius (Angstrom): Bondi (1964), J. Phys. Chem. 68, 441;
  "-" where Bondi gives none.
The typical bond distance of two elements is taken as the sum of their
covalent radii.
Columns: symbol Z weight r_cov r_vdW
""", rows)


def main():
    if not os.path.isdir(OUT):
        sys.exit("run from the repository root (data/ not found)")
    xray()
    fprime_kalpha()
    neutron_lengths()
    electron()
    magnetic()
    elements()
    fprime_grid()


if __name__ == "__main__":
    main()
