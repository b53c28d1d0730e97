# lmfit's bounded fits of tests/data/t1_sigma.dat (weights 1/sigma), the
# figures tests/test_bounds.cpp holds the three methods to.  Inactive bounds:
# leastsq (the transformation of bounded parameters) and least_squares (scipy's
# own bounds) agree.  Active bounds: least_squares' standard deviations, from
# the Jacobian at the answer; those of leastsq depend there on its tolerances
# (Mo's 23.3 by default, 25.0 at 1e-15), as the transformation's slope
# vanishes at the bound.
import lmfit
import numpy as np

d = np.loadtxt('tests/data/t1_sigma.dat')
x, y, s = d[:, 0], d[:, 1], d[:, 2]


def t1(x, Mo, W, T1):
    return Mo * (1 - W * np.exp(-x / T1))


model = lmfit.Model(t1)
cases = (("inactive", dict(Mo=900, W=2, T1=1),
          dict(Mo=(0, np.inf), W=(1, np.inf), T1=(0, np.inf))),
         ("active", dict(Mo=900, W=2, T1=0.5),
          dict(Mo=(-np.inf, np.inf), W=(1, 3), T1=(0, 0.7))))
for name, start, bounds in cases:
    for method, kws in (('leastsq', dict(xtol=1e-15, ftol=1e-15, gtol=1e-15)),
                        ('least_squares', dict(xtol=1e-15, ftol=1e-15, gtol=1e-15))):
        p = model.make_params(**start)
        for k, (lo, hi) in bounds.items():
            p[k].set(min=lo, max=hi)
        r = model.fit(y, p, x=x, weights=1 / s, method=method, fit_kws=kws)
        print(name, method, r.nfev)
        for n in ('Mo', 'W', 'T1'):
            print("  %s %.17g %.17g" % (n, r.params[n].value, r.params[n].stderr))
