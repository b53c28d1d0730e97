# lmfit's multi-data-set fits (the concatenated residual of all curves over
# one Parameters object) of the global-fit test data: the values and standard
# errors tests/test_global.cpp holds the methods to.  Run from the top folder
# with lmfit installed (Debian: python3-lmfit).
import lmfit
import numpy as np

tight = dict(xtol=1e-15, ftol=1e-15, gtol=1e-15, max_nfev=200000)


def read(path, key):
    rows = [l.strip().split(",") for l in open(path).readlines()[1:]]
    curves = {}
    for r in rows:
        curves.setdefault(r[0], []).append([float(v) for v in r[1:]])
    return [(k, np.array(v)) for k, v in curves.items()]


def xy1(x, x2, shift, kd):
    b = x + x2 + kd
    return (b - np.sqrt(b * b + (-4 * x) * x2)) * shift / (x2 + x2)


def titrations(path, bounds=None):
    curves = read(path, "residue")
    p = lmfit.Parameters()
    lo, hi = bounds if bounds is not None else (-np.inf, np.inf)
    p.add("Dconst", 1e-4, min=lo, max=hi)
    for k, _ in curves:
        p.add("Shift_" + k, 0.1)

    def residual(p):
        return np.concatenate([xy1(d[:, 0], d[:, 2], p["Shift_" + k], p["Dconst"]) - d[:, 1]
                               for k, d in curves])

    r = lmfit.minimize(residual, p, method="leastsq", **tight)
    print(path, "bounds %s" % (bounds,), "chisqr %.17g" % r.chisqr)
    for name in ["Dconst"] + ["Shift_" + k for k, _ in curves[:3]] + ["Shift_" + curves[-1][0]]:
        print("  %s %.17g %.17g" % (name, r.params[name].value, r.params[name].stderr))


def melts(path):
    curves = read(path, "conc")
    R = 0.001987
    p = lmfit.Parameters()
    p.add("a6", 320.0)
    for k, d in curves:
        y = d[:, 1]
        for name, v in zip(["a0", "a1", "a2", "a3", "a4"], [y[0], 0.0, y[-1], 0.0, 60.0]):
            p.add(name + "_" + k, v)

    def model(t, a0, a1, a2, a3, a4, a6):
        T = t + 273.15
        G = (T - a6) * 0.0 + a4 - T * (0.0 * np.log(T / a6) + a4 / a6)
        K = np.exp((-(G / R)) / T)
        F = K / (K + 1.0)
        return F * (a2 - a3 * t) + (1.0 - F) * (a0 - a1 * t)

    def residual(p):
        return np.concatenate([model(d[:, 0], *[p[n + "_" + k] for n in ["a0", "a1", "a2", "a3", "a4"]],
                                     p["a6"]) - d[:, 1] for k, d in curves])

    r = lmfit.minimize(residual, p, method="leastsq", **tight)
    print(path, "chisqr %.17g" % r.chisqr)
    for k, d in curves:
        print("  start %s %.17g %.17g" % (k, d[0, 1], d[-1, 1]))
    for name in ["a6"] + [n + "_" + curves[0][0] for n in ["a0", "a1", "a2", "a3", "a4"]]:
        print("  %s %.17g %.17g" % (name, r.params[name].value, r.params[name].stderr))


titrations("tests/data/csp_5.csv")
titrations("tests/data/csp_5.csv", bounds=(0.0, 1e-3))
titrations("tests/data/csp_300.csv")
melts("tests/data/melts.csv")
