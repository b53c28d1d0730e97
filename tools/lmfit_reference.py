#!/usr/bin/python3
"""Prints lmfit's weighted fit of tests/data/t1_sigma.dat, relative and
absolute sigma, at full precision: the reference figures of the weighted-fit
tests.  Needs Debian's python3-lmfit; not part of the build or the tests."""
import sys

import lmfit
import numpy as np

data = np.loadtxt(sys.argv[1] if len(sys.argv) > 1 else "tests/data/t1_sigma.dat")
x, y, sigma = data[:, 0], data[:, 1], data[:, 2]


def t1_relax(x, Mo, W, T1):
    return Mo * (1 - W * np.exp(-x / T1))


model = lmfit.Model(t1_relax)
print("lmfit", lmfit.__version__)
for absolute in (False, True):
    r = model.fit(y, x=x, Mo=900, W=2, T1=1, weights=1 / sigma, scale_covar=not absolute,
                  method="leastsq", fit_kws=dict(xtol=1e-15, ftol=1e-15, gtol=1e-15))
    print("absolute" if absolute else "relative")
    for name in ("Mo", "W", "T1"):
        print("  %s value %.17g sd %.17g" % (name, r.params[name].value, r.params[name].stderr))
    print("  chisqr %.17g redchi %.17g aic %.17g bic %.17g" % (r.chisqr, r.redchi, r.aic, r.bic))
