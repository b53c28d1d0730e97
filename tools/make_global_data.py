# Synthetic data for the global-fit tests, written once into tests/data/:
# chemical-shift titrations (XY1; residues with their own Shift, one Kd) and
# melts at three protein concentrations (Z_MELT_MON; one Tm).  A fixed seed
# makes the files again byte for byte; the tests read the files, not this.
import numpy as np

rng = np.random.default_rng(1)


def xy1(x, x2, shift, kd):
    b = x + x2 + kd
    return (b - np.sqrt(b * b - 4 * x * x2)) * shift / (2 * x2)


def titrations(path, residues):
    kd, protein = 1.0e-4, 5.0e-5
    ligand = np.array([0, 2e-5, 5e-5, 1e-4, 1.5e-4, 2e-4, 3e-4, 4e-4, 6e-4, 8e-4, 1.2e-3, 2e-3])
    with open(path, "w") as f:
        f.write("residue,ligand,shift,protein\n")
        for r in range(residues):
            shift = rng.uniform(0.05, 0.15)  # combined shift changes are positive
            y = xy1(ligand, protein, shift, kd) + rng.normal(0, 0.001, ligand.size)
            for xi, yi in zip(ligand, y):
                f.write("R%d,%.6g,%.6f,%.6g\n" % (r + 1, xi, yi, protein))


def melts(path):
    R = 0.001987
    t = np.arange(20.0, 91.0, 2.0)
    tm, dh = 330.0, 80.0
    with open(path, "w") as f:
        f.write("conc,temp,signal\n")
        for conc, (a0, a1, a2, a3) in zip(["5uM", "10uM", "20uM"],
                                          [(-20, 0.05, -4, 0.02), (-41, 0.12, -9, 0.03),
                                           (-80, 0.2, -17, 0.05)]):
            T = t + 273.15
            G = dh - T * (dh / tm)
            K = np.exp(-G / (R * T))
            F = K / (K + 1)
            y = F * (a2 - a3 * t) + (1 - F) * (a0 - a1 * t)
            y += rng.normal(0, 0.01 * abs(a0), t.size)
            for ti, yi in zip(t, y):
                f.write("%s,%g,%.5f\n" % (conc, ti, yi))


titrations("tests/data/csp_5.csv", 5)
titrations("tests/data/csp_300.csv", 300)
melts("tests/data/melts.csv")
