# lmfit's multi-data-set fit of a titration table (residue,ligand,shift,protein):
# one Dconst for all residues, a Shift each, as the concatenated residual that
# lmfit's documentation shows.  The peer of bench/global_bench.sh.
#   python3 lmfit_global.py TABLE
import sys

import lmfit
import numpy as np

curves = {}
for line in open(sys.argv[1]).readlines()[1:]:
    f = line.strip().split(",")
    curves.setdefault(f[0], []).append([float(v) for v in f[1:]])
curves = [(k, np.array(v)) for k, v in curves.items()]

p = lmfit.Parameters()
p.add("Dconst", 1e-4)
for k, _ in curves:
    p.add("Shift_" + k, 0.1)


def residual(p):
    out = []
    for k, d in curves:
        x, y, x2 = d[:, 0], d[:, 1], d[:, 2]
        b = x + x2 + p["Dconst"].value
        out.append((b - np.sqrt(b * b - 4 * x * x2)) * p["Shift_" + k].value / (2 * x2) - y)
    return np.concatenate(out)


r = lmfit.minimize(residual, p, method="leastsq")
print("Dconst %.10g +/- %.3g, chi-square %.10g" % (r.params["Dconst"].value,
                                                   r.params["Dconst"].stderr, r.chisqr))
