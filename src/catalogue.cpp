// The rows of the catalogue, one per fit-function id, checked against the
// model library's ids at compile time.
#include "catalogue.h"

#include <cstring>

namespace {

// The catalogue: one row per fit-function id, in id order.  Besides the texts
// the reports print (keyword, label, description, parameter labels) each row
// says what the model computes and what its variables and parameters mean; the
// help words, the manual page and the README's model section all read it here.
//
// Units: a fixed unit where the model fixes it (kelvin, kcal/mol, kJ/mol,
// molar, pH units); "same unit as X" (or Y) where the user chooses it.

constexpr CatalogueVariable kNoX2 = {nullptr, nullptr};
constexpr const char *kAnyUnit = "any unit";
constexpr const char *kUnitX = "same unit as X";
constexpr const char *kUnitY = "same unit as Y";
constexpr const char *kLinearStart = "any value: the model is linear in its parameters";

constexpr CatalogueEntry kCatalogue[] = {
    {"LINE", "Straight Line", "Notes: A0*x + A1", 2,
     {{"A0.......:", "slope", "unit of Y per unit of X", kLinearStart},
      {"A1.......:", "intercept: Y at X = 0", kUnitY, kLinearStart}},
     "Y = A0*X + A1",
     {"independent variable", kAnyUnit}, {"dependent variable", kAnyUnit}, kNoX2,
     "none", "1:0"},

    {"QUADRATIC", "Quadratic", "Notes: A0*x*x + A1*x + A2", 3,
     {{"A0.......:", "coefficient of X^2", "unit of Y per (unit of X)^2", kLinearStart},
      {"A1.......:", "coefficient of X", "unit of Y per unit of X", kLinearStart},
      {"A2.......:", "constant term: Y at X = 0", kUnitY, kLinearStart}},
     "Y = A0*X^2 + A1*X + A2",
     {"independent variable", kAnyUnit}, {"dependent variable", kAnyUnit}, kNoX2,
     "none", "1:1:1"},

    {"CUBIC", "Cubic Polynomial", "Notes: A0*x*x*x + A1*x*x + A2*x + A3", 4,
     {{"A0.......:", "coefficient of X^3", "unit of Y per (unit of X)^3", kLinearStart},
      {"A1.......:", "coefficient of X^2", "unit of Y per (unit of X)^2", kLinearStart},
      {"A2.......:", "coefficient of X", "unit of Y per unit of X", kLinearStart},
      {"A3.......:", "constant term: Y at X = 0", kUnitY, kLinearStart}},
     "Y = A0*X^3 + A1*X^2 + A2*X + A3",
     {"independent variable", kAnyUnit}, {"dependent variable", kAnyUnit}, kNoX2,
     "none", "1:1:1:1"},

    {"SUM_EXPON", "Sum of 2 Exponential decay", "Notes: A4 + A0*EXP(-x/A1) + A2*EXP(-x/A3)", 5,
     {{"A0.......:", "amplitude of the first decay: its share of Y at X = 0", kUnitY,
       "about half of the first Y minus the last Y"},
      {"A1.......:", "time constant of the first decay (positive for a decay)", kUnitX,
       "the time scale of the fast part; start A1 and A3 well apart, or the two terms "
       "cannot be told apart"},
      {"A2.......:", "amplitude of the second decay: its share of Y at X = 0", kUnitY,
       "about half of the first Y minus the last Y"},
      {"A3.......:", "time constant of the second decay (positive for a decay)", kUnitX,
       "the time scale of the slow part"},
      {"A4.......:", "baseline: the value Y approaches at large X", kUnitY, "the last Y"}},
     "Y = A0*exp(-X/A1) + A2*exp(-X/A3) + A4",
     {"time, or any variable of the decay", kAnyUnit}, {"signal", kAnyUnit}, kNoX2,
     "A4 at 0 when the signal decays to zero", "500:0.1:500:2:0"},

    {"EXP1", "Exponential Recovery", "Notes: A0*(1-EXP(A1*x))+A2", 3,
     {{"A0.......:", "amplitude: Y at large X minus Y at X = 0, when A1 < 0", kUnitY,
       "the last Y minus the first Y"},
      {"A1.......:",
       "rate constant, with its sign: negative for a recovery that levels off "
       "(A1 = -1/time constant), positive for growth without limit",
       "1/(unit of X)", "-1/(the X at which the curve has risen 63% of the way)"},
      {"A2.......:", "Y at X = 0", kUnitY, "the first Y"}},
     "Y = A0*(1 - exp(A1*X)) + A2",
     {"time, or any variable of the recovery", kAnyUnit}, {"signal", kAnyUnit}, kNoX2,
     "A2 at 0 when the curve starts from zero", "100:-1:0"},

    {"EXP2", "Exponential Decay", "Notes: A0*EXP(A1*x) + A2", 3,
     {{"A0.......:", "amplitude: Y at X = 0 minus A2", kUnitY, "the first Y minus the last Y"},
      {"A1.......:",
       "rate constant, with its sign: negative for a decay (A1 = -1/time constant), "
       "positive for growth",
       "1/(unit of X)", "-1/(the X at which Y has fallen 63% of the way)"},
      {"A2.......:", "offset: the value Y approaches at large X when A1 < 0", kUnitY,
       "the last Y"}},
     "Y = A0*exp(A1*X) + A2",
     {"time, or any variable of the decay", kAnyUnit}, {"signal", kAnyUnit}, kNoX2,
     "A2 at 0 when the signal decays to zero", "100:-1:0"},

    {"SINU_3P", "Sinusoidal 3 Parms", "Notes: a0*cos(x)^2 - a1*cos(x) + a2", 3,
     {{"A0.......:", "coefficient of c^2", kUnitY, kLinearStart},
      {"A1.......:", "coefficient of c, subtracted: a positive A1 lowers Y where c > 0", kUnitY,
       kLinearStart},
      {"A2.......:", "constant term: Y where c = 0 (X = -30 or 150 degrees)", kUnitY,
       kLinearStart}},
     "Y = A0*c^2 - A1*c + A2\n"
     "c = cos(|X - 60|*pi/180), pi = 3.14159265\n"
     "(the curve is symmetric about X = 60 degrees)",
     {"angle", "degrees"}, {"observed quantity", kAnyUnit}, kNoX2,
     "none", "1:1:0"},

    {"SINU_4P", "Sinusoidal 4 Parms", "Notes: a0*cos(a1 * x + a2) + a3", 4,
     {{"A0.......:", "amplitude", kUnitY, "half the range of Y"},
      {"A1.......:", "frequency factor: cycles per 360 degrees of |X - 60|", "dimensionless",
       "1 or 2"},
      {"A2.......:", "phase", "radians", "0"},
      {"A3.......:", "offset: the mean of Y over a cycle", kUnitY, "the mean of Y"}},
     "Y = A0*cos(A1*|X - 60|*pi/180 + A2) + A3, pi = 3.14159265\n"
     "(the curve is symmetric about X = 60 degrees)",
     {"angle", "degrees"}, {"observed quantity", kAnyUnit}, kNoX2,
     "none", "1:2:0:0"},

    {"SIGMOID", "Sigmoidal", "Notes: a + b/(1+exp(-(x-c)/d))", 4,
     {{"A0.......:", "Y far below the midpoint (on the side X < A2 when A3 > 0)", kUnitY,
       "the first Y"},
      {"A1.......:", "height of the step: Y far above the midpoint minus A0", kUnitY,
       "the last Y minus the first Y"},
      {"A2.......:", "midpoint: the X at which Y = A0 + A1/2", kUnitX,
       "the X at which Y is half-way"},
      {"A3.......:",
       "width: the step goes from 27% to 73% of its height between A2 - A3 and A2 + A3; a "
       "negative A3 mirrors the curve",
       kUnitX, "a quarter of the X range of the transition"}},
     "Y = A0 + A1/(1 + exp(-(X - A2)/A3))",
     {"independent variable", kAnyUnit}, {"signal", kAnyUnit}, kNoX2,
     "none", "0:1:5:1"},

    {"SUM_LOREN", "Sum of Lorentzian Curves", "Notes: Mo*(loren1 - F*loren2)", 6,
     {{"Vo(1)....:", "position of line 1", kUnitX, "the X of the first peak"},
      {"T1(1)....:",
       "time constant that sets the width of line 1: half width at half height "
       "1/(2*pi*T1(1)); the height of line 1 is Mo*T1(1)",
       "1/(unit of X): s when X is in Hz", "1/(pi*full width at half height)"},
      {"Vo(2)....:", "position of line 2", kUnitX, "the X of the second peak"},
      {"T1(2)....:", "time constant that sets the width of line 2, as T1(1)",
       "1/(unit of X): s when X is in Hz", "1/(pi*full width at half height)"},
      {"Mo.......:", "scale of both lines", "unit of Y per unit of T1(1)",
       "the height of line 1 divided by T1(1)"},
      {"F........:",
       "area of line 2 relative to line 1 (added, although the report's description "
       "shows a minus)",
       "dimensionless", "the ratio of the two peak areas"}},
     "Y = Mo*(L(Vo(1), T1(1)) + F*L(Vo(2), T1(2)))\n"
     "L(v, t) = t/(1 + 4*pi^2*(X - v)^2*t^2), 4*pi^2 = 39.4784175141361\n"
     "(L: an absorption Lorentzian of height t at X = v, half width at half height 1/(2*pi*t))",
     {"frequency", kAnyUnit}, {"spectral intensity", kAnyUnit}, kNoX2,
     "F when the intensity ratio is known", "-50:0.01:50:0.01:1000:1"},

    {"T1_RELAX", "T1 Relaxation", "Notes: Mo*(1 - W*EXP(-x/T1))", 3,
     {{"Mo.......:", "equilibrium signal, reached at long delays", kUnitY, "the largest Y"},
      {"W........:",
       "inversion factor, Y(0) = Mo*(1 - W): 2 for a perfect inversion recovery, 1 for "
       "saturation recovery, between 1 and 2 for an incomplete inversion",
       "dimensionless", "2 (inversion recovery) or 1 (saturation recovery)"},
      {"T1.......:", "longitudinal (spin-lattice) relaxation time", kUnitX,
       "1.44 times the delay at which Y crosses zero"}},
     "Y = Mo*(1 - W*exp(-X/T1))",
     {"recovery delay after the inversion (or saturation) pulse", "any time unit"},
     {"signal intensity", kAnyUnit}, kNoX2,
     "W, at 2 or 1, when the pulses are known to be accurate; fit it otherwise", "900:2:1"},

    {"T2_RELAX", "T2 Relaxation", "Notes: Mo*EXP(-x/T2)", 2,
     {{"Mo.......:", "signal at X = 0", kUnitY, "the first Y"},
      {"T2.......:", "transverse (spin-spin) relaxation time", kUnitX,
       "the X at which Y has fallen to 37% of the first Y"}},
     "Y = Mo*exp(-X/T2)",
     {"echo time or relaxation delay", "any time unit"}, {"signal intensity", kAnyUnit}, kNoX2,
     "none", "1000:0.1"},

    {"R2_DIMER", "R2 Dimer", "Notes: (a0 * b) + c + d) / (4x)", 3,
     {{"Kd.......:",
       "dissociation constant of the dimer, Kd = [M]^2/[D] for D <=> 2 M; half of the "
       "monomer units are free monomers at X = Kd",
       kUnitX, "the X at which Y is half-way between R2M and R2D"},
      {"R2D......:", "R2 of the dimer, approached at high concentration", kUnitY,
       "Y at the highest X"},
      {"R2M......:", "R2 of the monomer, approached at low concentration", kUnitY,
       "Y at the lowest X"}},
     "Y = R2D + (R2M - R2D)*Fm, computed as (4*R2D*X + Kd*(R2D - R2M) + (R2M - R2D)*s)/(4*X)\n"
     "Fm = (s - Kd)/(4*X), s = sqrt(Kd)*sqrt(8*X + Kd)\n"
     "(Fm: the fraction of monomer units that are free monomers)",
     {"total concentration of the molecule in monomer units (X > 0)",
      "any concentration unit (molar, for instance)"},
     {"observed transverse relaxation rate R2", "any rate unit (1/s, for instance)"}, kNoX2,
     "R2M or R2D, at a value measured separately, when the data do not reach that limit",
     "1e-4:20:10"},

    {"R2X_DIMER", "R2X Dimer", "Notes: (Fm*R2M + Fd*R2D) + (Fm*Fm*Fd*Tau*DeltaSqu)", 5,
     {{"Kd.......:",
       "dissociation constant of the dimer, Kd = [M]^2/[D] for D <=> 2 M; half of the "
       "monomer units are free monomers at X = Kd",
       kUnitX, "the X at which Y is half-way between R2M and R2D"},
      {"R2D......:", "R2 of the dimer, approached at high concentration", kUnitY,
       "Y at the highest X"},
      {"R2M......:", "R2 of the monomer, approached at low concentration", kUnitY,
       "Y at the lowest X"},
      {"TAU......:",
       "time constant of the monomer-dimer exchange; enters only as the product TAU*DELTASQU",
       "such that TAU*DELTASQU is in the unit of Y: s, with DELTASQU in (rad/s)^2 and Y in 1/s",
       "the expected exchange time"},
      {"DELTASQU.:",
       "square of the difference of the resonance frequency between monomer and dimer",
       "(rad/s)^2 when TAU is in s and Y in 1/s", "the measured frequency difference squared"}},
     "Y = Fm*R2M + 2*Fd*R2D + Fd*Fm^2*TAU*DELTASQU\n"
     "Fm = (s - Kd)/(4*X), Fd = (Kd + 4*X - s)/(8*X), s = sqrt(Kd)*sqrt(8*X + Kd)\n"
     "(Fm: the fraction of monomer units that are free monomers, 2*Fd: the fraction in "
     "dimers; Fm + 2*Fd = 1)",
     {"total concentration of the molecule in monomer units (X > 0)",
      "any concentration unit (molar, for instance)"},
     {"observed transverse relaxation rate R2", "any rate unit (1/s, for instance)"}, kNoX2,
     "TAU or DELTASQU, always: they enter only as their product, so with both free the fit is "
     "singular; usually DELTASQU, at the measured frequency difference squared",
     "1e-4:20:10:1e-4:=1e6"},

    {"PH_TITR", "PH Titration", "Notes: Sa+([H]^n/([H]^n+Ka^n))*(Sah-Sa)", 4,
     {{"pKa......:", "the pH at the midpoint, where Y = (Sa + Sah)/2", "pH units",
       "the pH at the midpoint of the curve"},
      {"Sa.......:", "Y of the deprotonated (basic) form, approached at high pH", kUnitY,
       "Y at the highest pH"},
      {"Sah......:", "Y of the protonated (acidic) form, approached at low pH", kUnitY,
       "Y at the lowest pH"},
      {"HC.......:", "Hill coefficient: the steepness of the transition, 1 for one independent "
       "site", "dimensionless", "1"}},
     "Y = Sa + (Sah - Sa)*h/(10^(-pKa*HC) + h), h = 10^(-X*HC)\n"
     "(the same as Sa + (Sah - Sa)/(1 + 10^(HC*(X - pKa))))",
     {"pH", "pH units"}, {"observed quantity, such as a chemical shift", kAnyUnit}, kNoX2,
     "HC at 1 for a single site", "7:8.0:8.5:=1"},

    {"XY1", "Chemical Shift (XY1)", "Notes: X+Y <=> XY; obs X; vary Y", 2,
     {{"Shift....:",
       "Y of the fully bound molecule: the shift of the complex PL minus that of the free "
       "molecule P",
       kUnitY, "a little more than the largest Y"},
      {"Dconst...:", "dissociation constant Kd = [P][L]/[PL]", kUnitX,
       "the X at which Y is half of Shift, when X2 is well below Kd"}},
     "Y = Shift*[PL]/X2, [PL] = (b - sqrt(b^2 - 4*X*X2))/2, b = X + X2 + Dconst\n"
     "(P + L <=> PL: the observed molecule P binds one ligand L)",
     {"total concentration of the ligand L, the partner varied in the titration",
      "any concentration unit (molar, for instance)"},
     {"change of the observed quantity (a chemical shift, for instance) from its value in the "
      "free molecule: 0 without ligand",
      kAnyUnit},
     {"total concentration of the observed molecule P (third data column)", kUnitX},
     "none", "0.5:1e-4"},

    {"XY2", "Chemical Shift (XY2)", "Notes: X+Y <=> XY; XY+Y <=> XY2; obs X", 4,
     {{"Shift-LM1:", "Y of the molecule with one ligand bound: the shift of PL minus that of P",
       kUnitY, "the largest Y"},
      {"DKd1.....:", "dissociation constant of the first ligand, [P][L]/[PL]", kUnitX,
       "the X at which Y rises most steeply"},
      {"Shift-LM2:",
       "Y of the molecule with two ligands bound: the shift of PL2 minus that of P", kUnitY,
       "the largest Y"},
      {"DKd2.....:",
       "dissociation constant of the second ligand, [PL][L]/[PL2]; it must stay above "
       "4*DKd1, or the run ends with a fatal message",
       kUnitX, "more than 4*DKd1"}},
     "Y = (Shift-LM1*[PL] + Shift-LM2*[PL2])/X2, [PL2] = [PL]*(X - [PL])/(2*[PL] + DKd2)\n"
     "[PL] = 2*m*cos(theta/3 + 240 degrees) - a/3, the root of [PL]^3 + a*[PL]^2 + b*[PL] + c "
     "= 0:\n"
     "d = DKd2 - 4*DKd1, a = (DKd2^2 - 4*DKd1*DKd2 - 2*X2*DKd2)/d,\n"
     "b = (DKd2*X*(2*X2 - X) - (DKd1 + X2 + X)*DKd2^2)/d, c = DKd2^2*X*X2/d,\n"
     "q = (3*b - a^2)/3, m = sqrt(-q/3), theta = acos(((-9*a*b + 2*a^3 + 27*c)/(-54))/"
     "sqrt(-q^3/27))\n"
     "(P + L <=> PL, PL + L <=> PL2: the observed molecule P binds two ligands L; "
     "defined only for DKd2 > 4*DKd1)",
     {"total concentration of the ligand L, the partner varied in the titration",
      "any concentration unit (molar, for instance)"},
     {"change of the observed quantity (a chemical shift, for instance) from its value in the "
      "free molecule: 0 without ligand",
      kAnyUnit},
     {"total concentration of the observed molecule P (third data column)", kUnitX},
     "none", "0.3:1e-4:0.6:1e-3"},

    {"GAUSS", "Gaussian", "Notes: gaussian curve", 4,
     {{"A0.......:", "height of the peak above the baseline", kUnitY,
       "the largest Y minus the baseline"},
      {"A1.......:", "centre of the peak", kUnitX, "the X of the largest Y"},
      {"A2.......:",
       "width: the standard deviation; the full width at half height is 2.3548*|A2|, and the "
       "sign does not matter",
       kUnitX, "the full width at half height divided by 2.35"},
      {"A3.......:", "baseline", kUnitY, "Y far from the peak"}},
     "Y = A0*exp(-(X - A1)^2/(2*A2^2)) + A3",
     {"independent variable", kAnyUnit}, {"signal", kAnyUnit}, kNoX2,
     "A3 at 0 when there is no baseline", "100:0:1:0"},

    {"Z_DISP", "Dispersion Curves", "Notes: Mo*(loren1 - F*loren2)", 6,
     {{"Vo(1)....:", "position of line 1: where its dispersion signal crosses zero", kUnitX,
       "the X between the two extremes of line 1"},
      {"T1(1)....:",
       "time constant that sets the width of line 1: its extremes lie at "
       "Vo(1) +- 1/(2*pi*T1(1))",
       "1/(unit of X): s when X is in Hz", "1/(pi*distance between the two extremes)"},
      {"Vo(2)....:", "position of line 2", kUnitX, "the X between the two extremes of line 2"},
      {"T1(2)....:", "time constant that sets the width of line 2, as T1(1)",
       "1/(unit of X): s when X is in Hz", "1/(pi*distance between the two extremes)"},
      {"Mo.......:", "scale of both lines: the extremes of line 1 are +-Mo*T1(1)/2",
       "unit of Y per unit of T1(1)", "twice the largest Y divided by T1(1)"},
      {"F........:", "weight of line 2 relative to line 1, subtracted", "dimensionless", "1"}},
     "Y = Mo*(D(Vo(1), T1(1)) - F*D(Vo(2), T1(2)))\n"
     "D(v, t) = 2*pi*t^2*(X - v)/(1 + 4*pi^2*(X - v)^2*t^2), 2*pi = 6.2831853, "
     "4*pi^2 = 39.4784175141361\n"
     "(D: a dispersion line centred at X = v, with extremes +-t/2 at X = v +- 1/(2*pi*t))",
     {"frequency", kAnyUnit}, {"spectral intensity", kAnyUnit}, kNoX2,
     "F when the intensity ratio is known", "-50:0.01:50:0.01:1000:1"},

    {"Z_UCD", "UC-dimer", "Notes: m + a0^2*ka*exp(h*2M*(x^2-x0^2))", 5,
     {{"A0.......:", "monomer signal at the reference position X0", kUnitY, "Y near X0"},
      {"h........:",
       "exponent factor per unit of molar mass: (1 - vbar*rho)*omega^2/(2*R*T) when X = r^2",
       "1/(unit of M times unit of X)",
       "the value computed from the partial specific volume, solvent density, rotor speed and "
       "temperature"},
      {"M........:", "molar mass of the monomer", "any mass unit (g/mol), matching h",
       "the mass from the sequence"},
      {"X0.......:", "reference position, where the monomer signal is A0", kUnitX,
       "an X inside the data range"},
      {"Ka2......:",
       "dimerisation constant in signal units: the dimer signal is Ka2 times the square of the "
       "monomer signal",
       "1/(unit of Y)", "a small value, such as 0.01"}},
     "Y = A0*exp(e) + A0^2*Ka2*exp(2*e), e = M*h*(X - X0)\n"
     "(monomer plus dimer at sedimentation equilibrium; the exponent is linear in X, although "
     "the report's description shows X^2 - X0^2)",
     {"radial variable the exponent is linear in: r^2 for sedimentation equilibrium, r the "
      "radius",
      "any unit (cm^2, for instance)"},
     {"concentration signal (absorbance or fringes)", kAnyUnit}, kNoX2,
     "X0 always (it trades off against A0), and h or M always (they enter only as the product "
     "M*h); usually h at its computed value",
     "0.5:=1e-4:20000:=45:0.01"},

    {"Z_MELT_MON", "Monomer Melting Curve", "Notes: Tamsell Monomer Melt curve", 7,
     {{"a0.......:", "signal of the folded state at X = 0 degrees C (its baseline is a0 - a1*X)",
       kUnitY, "the low-temperature baseline extrapolated to 0 degrees C"},
      {"a1.......:",
       "slope of the folded baseline, subtracted: a positive a1 makes it fall with temperature",
       "unit of Y per degree C", "0, or minus the slope of the low-temperature baseline"},
      {"a2.......:",
       "signal of the unfolded state at X = 0 degrees C (its baseline is a2 - a3*X)", kUnitY,
       "the high-temperature baseline extrapolated to 0 degrees C"},
      {"a3.......:", "slope of the unfolded baseline, subtracted", "unit of Y per degree C",
       "0, or minus the slope of the high-temperature baseline"},
      {"a4.......:",
       "enthalpy of unfolding at a6 (van 't Hoff); positive when the unfolded fraction rises "
       "with temperature",
       "kcal/mol", "50 to 100 for a small protein"},
      {"a5.......:", "heat-capacity change of unfolding", "kcal/(mol K)", "0"},
      {"a6.......:", "midpoint temperature Tm, where half of the molecules are unfolded",
       "kelvin (while X is in degrees C)", "the midpoint read from the curve plus 273.15"}},
     "Y = F*(a2 - a3*X) + (1 - F)*(a0 - a1*X), F = K/(K + 1), K = exp(-G/(R*T))\n"
     "G = (T - a6)*a5 + a4 - T*(a5*ln(T/a6) + a4/a6), T = X + 273.15, "
     "R = 0.001987 kcal/(mol K)\n"
     "(G: free energy of unfolding, Gibbs-Helmholtz; F: the unfolded fraction)",
     {"temperature", "degrees Celsius (the model adds 273.15)"},
     {"observed signal (CD, fluorescence, ...)", kAnyUnit}, kNoX2,
     "a5, at 0 or an estimate: one melting curve rarely determines the heat-capacity change; "
     "a1 or a3 at 0 when a baseline is flat or short",
     "10:0:2:0:60:=0:330"},

    {"Z_MELT_DIM", "Dimer Melting Curve", "Notes: Tamsell Dimer melt curve", 8,
     {{"a0.......:",
       "signal of the folded dimer at X = 0 degrees C (its baseline is a0 - a1*X)", kUnitY,
       "the low-temperature baseline extrapolated to 0 degrees C"},
      {"a1.......:",
       "slope of the folded baseline, subtracted: a positive a1 makes it fall with temperature",
       "unit of Y per degree C", "0, or minus the slope of the low-temperature baseline"},
      {"a2.......:",
       "signal of the unfolded monomers at X = 0 degrees C (their baseline is a2 - a3*X)",
       kUnitY, "the high-temperature baseline extrapolated to 0 degrees C"},
      {"a3.......:", "slope of the unfolded baseline, subtracted", "unit of Y per degree C",
       "0, or minus the slope of the high-temperature baseline"},
      {"a4.......:",
       "enthalpy of unfolding at a6 (van 't Hoff); positive when the unfolded fraction rises "
       "with temperature",
       "kcal/mol", "50 to 150"},
      {"a5.......:", "heat-capacity change of unfolding", "kcal/(mol K)", "0"},
      {"a6.......:", "midpoint temperature, where half of the monomer units are unfolded",
       "kelvin (while X is in degrees C)", "the midpoint read from the curve plus 273.15"},
      {"a7.......:",
       "total concentration in monomer units; it cancels out of the model, so Y does not "
       "depend on it",
       "molar", "the protein concentration, held"}},
     "Y = F*(a2 - a3*X) + (1 - F)*(a0 - a1*X), F = Fdiss(K, a7), K = exp(-G/(R*T))\n"
     "G = (T - a6)*a5 + a4 - T*(a5*ln(T/a6) + a4/a6 + R*ln(a7)), T = X + 273.15, "
     "R = 0.001987 kcal/(mol K)\n"
     "Fdiss(K, c) = (sqrt(K^2 + 8*c*K) - K)/(4*c), computed as 2/(1 + sqrt(1 + 8*c/K)):\n"
     "the fraction of monomer units unfolded, D <=> 2 U with K = [U]^2/[D] at total c\n"
     "(K/a7 = exp(-(G + R*T*ln(a7))/(R*T)) does not depend on a7, so neither does F, which "
     "is 1/2 at T = a6)",
     {"temperature", "degrees Celsius (the model adds 273.15)"},
     {"observed signal (CD, fluorescence, ...)", kAnyUnit}, kNoX2,
     "a7 always, at any positive value: the model does not depend on it, and a free a7 makes "
     "the fit singular; a5 as for Z_MELT_MON",
     "10:0:2:0:80:=0:330:=1e-5"},

    {"Z_CHEM_TRI", "Denaturation Trimer", "Chemical Denaturation Trimer", 8,
     {{"A0.......:",
       "signal of the folded trimer at X = 0 (its baseline is A0 - A1*X)", kUnitY,
       "Y at the lowest X"},
      {"A1.......:", "slope of the folded baseline, subtracted", "unit of Y per unit of X", "0"},
      {"A2.......:", "signal of the unfolded monomers at X = 0 (their baseline is A2 - A3*X)",
       kUnitY, "the high-X baseline extrapolated to X = 0"},
      {"A3.......:", "slope of the unfolded baseline, subtracted", "unit of Y per unit of X",
       "0"},
      {"A4.......:",
       "free energy of unfolding without denaturant, N3 <=> 3 U, for a 1 M standard state",
       "the energy unit of RT (kcal/mol or kJ/mol)", "A5 times the midpoint X, roughly"},
      {"A5.......:",
       "m-value: the free energy of unfolding is A4 - A5*X, so A5 is positive when the "
       "denaturant unfolds",
       "the energy unit of RT per unit of X", "2 to 5 kcal/(mol M) per domain"},
      {"A6.......:", "total concentration in monomer units", "molar",
       "the protein concentration, held"},
      {"RT.......:", "gas constant times the absolute temperature: the energy unit of A4 and A5",
       "kcal/mol or kJ/mol", "0.5925 kcal/mol (2.479 kJ/mol) at 25 degrees C, held"}},
     "Y = F*(A2 - A3*X) + (1 - F)*(A0 - A1*X), F = Ftri(K/(3*A6^2)), K = exp((A5*X - A4)/RT)\n"
     "Ftri(q) = (u + w)^0.3333333 - |u - w|^0.3333333, u = q/2, "
     "w = sqrt(q^2*(0.03704*q + 0.25)):\n"
     "the root of F^3 + q*F - q = 0, the unfolded fraction for N3 <=> 3 U with "
     "K = [U]^3/[N3]",
     {"denaturant concentration (urea, guanidinium chloride)",
      "any concentration unit (molar, for instance)"},
     {"observed signal", kAnyUnit}, kNoX2,
     "RT always, at R times the temperature; A6 at the protein concentration",
     "10:0:2:0:20:5:=1e-5:=0.5925"},

    {"Z_CHEM_MON_TRI", "Denaturation Monomer/Trimer", "Chemical Denaturation Monomer/Trimer", 8,
     {{"A0.......:",
       "free energy of unfolding of the monomer without denaturant (it is A0 - A1*X)",
       "the energy unit of RT", "A1 times the monomer's midpoint X"},
      {"A1.......:", "m-value of the monomer: positive when the denaturant unfolds it",
       "the energy unit of RT per unit of X", "2 to 5 kcal/(mol M)"},
      {"A2.......:", "signal of the trimer when fully folded; it contributes (1 - F)*A2",
       kUnitY, "half of the first Y"},
      {"A3.......:", "signal of the monomer when fully folded; it contributes A3/(1 + E)",
       kUnitY, "half of the first Y"},
      {"A4.......:",
       "free energy of unfolding of the trimer without denaturant, N3 <=> 3 U, for a 1 M "
       "standard state",
       "the energy unit of RT (kcal/mol or kJ/mol)", "A5 times the trimer's midpoint X"},
      {"A5.......:", "m-value of the trimer: its free energy of unfolding is A4 - A5*X",
       "the energy unit of RT per unit of X", "2 to 5 kcal/(mol M) per domain"},
      {"A6.......:", "total trimer concentration in monomer units", "molar",
       "the protein concentration, held"},
      {"RT.......:", "gas constant times the absolute temperature: the energy unit of A0, A1, "
       "A4 and A5",
       "kcal/mol or kJ/mol", "0.5925 kcal/mol (2.479 kJ/mol) at 25 degrees C, held"}},
     "Y = (1 - F)*A2 + (1 - E/(E + 1))*A3\n"
     "F = Ftri(K/(3*A6^2)), K = exp((A5*X - A4)/RT), E = exp((A1*X - A0)/RT)\n"
     "Ftri(q) = (u + w)^0.3333333 - |u - w|^0.3333333, u = q/2, "
     "w = sqrt(q^2*(0.03704*q + 0.25)):\n"
     "the root of F^3 + q*F - q = 0, the unfolded fraction for N3 <=> 3 U with "
     "K = [U]^3/[N3]\n"
     "(a folded trimer and a folded monomer unfolding independently; unfolded species add no "
     "signal)",
     {"denaturant concentration (urea, guanidinium chloride)",
      "any concentration unit (molar, for instance)"},
     {"observed signal, 0 when everything is unfolded", kAnyUnit}, kNoX2,
     "RT always, at R times the temperature; A6 at the protein concentration",
     "5:2:10:5:20:5:=1e-5:=0.5925"},

    {"Z_CP_MONOMER", "Partial molar heat capacity of monomer",
     "Cp(temp) for unfolding of a monomer", 8,
     {{"A0.......:", "linear coefficient of the native heat capacity Cn", "kJ/(mol K^2)", "0"},
      {"A1.......:", "constant term of Cn", "kJ/(mol K)", "Y at the lowest temperature"},
      {"A2.......:", "quadratic coefficient of the unfolded heat capacity Cu", "kJ/(mol K^3)",
       "0"},
      {"A3.......:", "linear coefficient of Cu", "kJ/(mol K^2)", "0"},
      {"A4.......:", "constant term of Cu", "kJ/(mol K)", "Y at the highest temperature"},
      {"A5.......:", "enthalpy of unfolding at A6; positive: unfolding takes up heat", "kJ/mol",
       "the area of the peak above the baseline"},
      {"A6.......:", "transition temperature Tm, where half of the molecules are unfolded",
       "kelvin", "the temperature of the peak"},
      {"A7.......:", "quadratic coefficient of Cn", "kJ/(mol K^3)", "0"}},
     "Y = Cn + f*(dH - A5) + f*(1 - f)*dH^2/(R*T^2), f = K/(K + 1)\n"
     "K = exp(((A5/A6 + dS)*T - dH)/(R*T)), T = X, R = 0.008314 kJ/(mol K)\n"
     "Cn = A7*T^2 + A0*T + A1 (native), Cu = A2*T^2 + A3*T + A4 (unfolded)\n"
     "dH = A5 + (A4 - A1)*(T - A6) + 0.5*(A3 - A0)*(T^2 - A6^2) + 0.3333*(A2 - A7)*(T^3 - A6^3)\n"
     "dS = (A4 - A1)*(ln T - ln A6) + (A3 - A0)*(T - A6) + 0.5*(A2 - A7)*(T^2 - A6^2)\n"
     "(dH: enthalpy of unfolding at T; f: the unfolded fraction. The unfolded-state term is "
     "f*(dH - A5), where Z_CP_DIM and Z_CP_TRIMER add F*(Cu - Cn))",
     {"absolute temperature", "kelvin"}, {"partial molar heat capacity", "kJ/(mol K)"}, kNoX2,
     "A2 and A7 at 0 unless the baselines are clearly curved", "0:20:=0:0:25:300:330:=0"},

    {"Z_CP_DIM", "Partial molar heat capacity of dimer", "Cp(temp) for unfolding of a dimer", 9,
     {{"A0.......:", "linear coefficient of the native heat capacity Cn", "kJ/(mol K^2)", "0"},
      {"A1.......:", "constant term of Cn", "kJ/(mol K)", "Y at the lowest temperature"},
      {"A2.......:", "quadratic coefficient of the unfolded heat capacity Cu", "kJ/(mol K^3)",
       "0"},
      {"A3.......:", "linear coefficient of Cu", "kJ/(mol K^2)", "0"},
      {"A4.......:", "constant term of Cu", "kJ/(mol K)", "Y at the highest temperature"},
      {"A5.......:", "enthalpy of unfolding at A6; positive: unfolding takes up heat", "kJ/mol",
       "the area of the peak above the baseline"},
      {"A6.......:", "reference temperature of A5", "kelvin", "the temperature of the peak"},
      {"A7.......:", "total protein concentration", "molar", "the protein concentration, held"},
      {"A8.......:", "quadratic coefficient of Cn", "kJ/(mol K^3)", "0"}},
     "Y = Cn + F*(Cu - Cn) + 8*dH^2/(R*T^2)*F*(1 - F)/(2 - F), F = Fdiss(K, A7)\n"
     "K = exp(((2*dS + A5/A6 + R*ln(1.66*A7))*2*T - 2*dH)/(R*T)), T = X, "
     "R = 0.008314 kJ/(mol K)\n"
     "Cn = A8*T^2 + A0*T + A1 (native), Cu = A2*T^2 + A3*T + A4 (unfolded)\n"
     "dH = A5 + (A4 - A1)*(T - A6) + 0.5*(A3 - A0)*(T^2 - A6^2) + 0.3333*(A2 - A8)*(T^3 - A6^3)\n"
     "dS = (A4 - A1)*(ln T - ln A6) + (A3 - A0)*(T - A6) + 0.5*(A2 - A8)*(T^2 - A6^2)\n"
     "Fdiss(K, c) = (sqrt(K^2 + 8*c*K) - K)/(4*c), computed as 2/(1 + sqrt(1 + 8*c/K)):\n"
     "the fraction of monomer units unfolded, D <=> 2 U with K = [U]^2/[D] at total c",
     {"absolute temperature", "kelvin"}, {"partial molar heat capacity", "kJ/(mol K)"}, kNoX2,
     "A7 always, at the protein concentration; A2 and A8 at 0 unless the baselines are "
     "clearly curved",
     "0:20:=0:0:25:500:330:=1e-4:=0"},

    {"Z_CP_TRIMER", "Partial molar heat capacity of trimer", "Cp(temp) for unfolding of a trimer",
     9,
     {{"A0.......:", "linear coefficient of the native heat capacity Cn", "kJ/(mol K^2)", "0"},
      {"A1.......:", "constant term of Cn", "kJ/(mol K)", "Y at the lowest temperature"},
      {"A2.......:", "quadratic coefficient of the unfolded heat capacity Cu", "kJ/(mol K^3)",
       "0"},
      {"A3.......:", "linear coefficient of Cu", "kJ/(mol K^2)", "0"},
      {"A4.......:", "constant term of Cu", "kJ/(mol K)", "Y at the highest temperature"},
      {"A5.......:", "enthalpy of unfolding at A6; positive: unfolding takes up heat", "kJ/mol",
       "the area of the peak above the baseline"},
      {"A6.......:", "reference temperature of A5", "kelvin", "the temperature of the peak"},
      {"A7.......:", "total protein concentration", "molar", "the protein concentration, held"},
      {"A8.......:", "quadratic coefficient of Cn", "kJ/(mol K^3)", "0"}},
     "Y = Cn + F*(Cu - Cn) + 3*dH^2/(R*T^2)*F*(1 - F)/(3 - 2*F)\n"
     "K = exp(((R*ln(2.09*A7^2) + dS + A5/A6)*T - dH)/(R*T)), T = X, R = 0.008314 kJ/(mol K)\n"
     "F = ((s + 1)*u)^0.3333333 - ((s - 1)*u)^0.3333333, s = sqrt(K/(20.25*A7^2) + 1), "
     "u = K/(6*A7^2):\n"
     "the unfolded fraction, N3 <=> 3 U with 3*F^3*A7^2/(1 - F) = K\n"
     "Cn = A8*T^2 + A0*T + A1 (native), Cu = A2*T^2 + A3*T + A4 (unfolded)\n"
     "dH = A5 + (A4 - A1)*(T - A6) + 0.5*(A3 - A0)*(T^2 - A6^2) + 0.3333*(A2 - A8)*(T^3 - A6^3)\n"
     "dS = (A4 - A1)*(ln T - ln A6) + (A3 - A0)*(T - A6) + 0.5*(A2 - A8)*(T^2 - A6^2)",
     {"absolute temperature", "kelvin"}, {"partial molar heat capacity", "kJ/(mol K)"}, kNoX2,
     "A7 always, at the protein concentration; A2 and A8 at 0 unless the baselines are "
     "clearly curved",
     "0:20:=0:0:25:500:330:=1e-4:=0"},

    {"Z_SIG_DIM", "Sigmoidal fit for dimer", "Notes: Orrin Sigmoidal fit dimer", 8,
     {{"r........:", "signal of the dissociated monomers at X = 0 (their baseline is r + s*X)",
       kUnitY, "Y at the high-X end, extrapolated to X = 0"},
      {"s........:", "slope of the monomer baseline, added", "unit of Y per unit of X", "0"},
      {"c........:", "signal of the dimer at X = 0 (its baseline is c + d*X)", kUnitY,
       "Y at the lowest X"},
      {"d........:", "slope of the dimer baseline, added", "unit of Y per unit of X", "0"},
      {"a........:", "free energy of dissociation at X = 0, for a 1 M standard state", "J/mol",
       "40000"},
      {"b........:",
       "change of the free energy of dissociation per unit of X (it is a + b*X): negative "
       "when X favours dissociation, as a denaturant does",
       "J/mol per unit of X", "-a divided by the midpoint X, roughly"},
      {"P........:", "total concentration in monomer units", "molar",
       "the protein concentration, held"},
      {"Temp.....:", "absolute temperature", "kelvin", "the temperature of the measurement, held"}},
     "Y = lo + Fdiss(K, P)*(hi - lo), lo = c + d*X, hi = r + s*X\n"
     "K = exp(-(a + b*X)/(8.314*Temp)), 8.314 J/(mol K)\n"
     "Fdiss(K, c) = (sqrt(K^2 + 8*c*K) - K)/(4*c), computed as 2/(1 + sqrt(1 + 8*c/K)):\n"
     "the fraction of monomer units dissociated, D <=> 2 M with K = [M]^2/[D] at total c",
     {"variable that drives the dissociation (denaturant concentration, for instance)",
      kAnyUnit},
     {"observed signal", kAnyUnit}, kNoX2,
     "Temp always, at the temperature of the measurement; P at the protein concentration",
     "2:0:10:0:40000:-8000:=1e-5:=298.15"},

    {"Z_AMIDE_PH", "Amide pH dependence", "Notes: 1 / (1 + kex * T1)", 4,
     {{"T1.......:",
       "longitudinal relaxation time of the amide proton; Y depends on it only through "
       "T1*kex",
       "any time unit (s, for instance)", "the measured T1, held"},
      {"kOH......:", "rate constant of hydroxide-catalysed exchange",
       "1/(M s) when T1 is in s", "1e8 to 1e10"},
      {"kH.......:", "rate constant of acid-catalysed exchange", "1/(M s) when T1 is in s",
       "1 to 100"},
      {"kH2O.....:", "rate constant of water-catalysed exchange", "1/s when T1 is in s",
       "0.01"}},
     "Y = 1/(1 + T1*kex), kex = kOH*10^(-14)/h + kH*h + kH2O, h = 10^(-X)\n"
     "(kex: the exchange rate of the amide proton, catalysed by hydroxide, "
     "[OH-] = 10^(-14)/[H+], by acid, [H+] = 10^(-pH), and by water)",
     {"pH", "pH units"},
     {"intensity ratio I/I0 of the amide signal with and without saturation of the water",
      "dimensionless"},
     kNoX2,
     "T1 always, at its measured value: only the products T1*kOH, T1*kH and T1*kH2O are "
     "determined",
     "=1:1e8:10:0.01"},

    {"CRYSTAL", "Single Crystal", "Notes: a0 + a1*cos(2x) + a2*sin(2x)", 3,
     {{"A0.......:", "mean value over a full rotation", kUnitY, kLinearStart},
      {"A1.......:", "amplitude of the cos(2*X) term", kUnitY, kLinearStart},
      {"A2.......:", "amplitude of the sin(2*X) term", kUnitY, kLinearStart}},
     "Y = A0 + A1*cos(2*X) + A2*sin(2*X)",
     {"rotation angle", "radians"}, {"orientation-dependent quantity", kAnyUnit}, kNoX2,
     "none", "0:1:1"},

    {"LORENTZ", "Lorentzian", "Notes: Model for spectral lines", 3,
     {{"Vo(1)....:", "position of the line", kUnitX, "the X of the peak"},
      {"T1(1)....:",
       "time constant that sets the width: half width at half height 1/(2*pi*T1(1)); the "
       "height of the line is Mo*T1(1)",
       "1/(unit of X): s when X is in Hz", "1/(pi*full width at half height)"},
      {"Mo.......:", "scale of the line", "unit of Y per unit of T1(1)",
       "the height of the peak divided by T1(1)"}},
     "Y = Mo*L(Vo(1), T1(1))\n"
     "L(v, t) = t/(1 + 4*pi^2*(X - v)^2*t^2), 4*pi^2 = 39.4784175141361\n"
     "(L: an absorption Lorentzian of height t at X = v, half width at half height 1/(2*pi*t))",
     {"frequency", kAnyUnit}, {"spectral intensity", kAnyUnit}, kNoX2,
     "none", "0:0.01:1000"},

    {"ISODESMIC", "Isodesmic Model of Self Association", "Notes: FEBS 2001, Kestovar et al", 3,
     {{"A0.......:", "association constant of every step M(i) + M <=> M(i+1)",
       "1/(unit of X): 1/M for molar X", "1/(the X at which Y is half-way)"},
      {"A1.......:", "change of Y from no association (X = 0) to complete association",
       kUnitY, "the change of Y over the data"},
      {"A2.......:", "Y at X = 0, with the opposite sign (subtracted)", kUnitY,
       "minus the first Y"}},
     "Y = A0*A1*X*r^2 - A2, r = 2/(sqrt(4*A0*X + 1) + 1)\n"
     "(X*r^2 is the free monomer concentration, so A0*X*r^2 rises from 0 towards 1)",
     {"total concentration in monomer units", "any concentration unit (molar, for instance)"},
     {"observed quantity", kAnyUnit}, kNoX2,
     "none", "1000:1:0"},

    {"UREA", "Urea Sigmoidal", "Notes: Sigmoid derivative", 3,
     {{"A0.......:", "amplitude: Y at high X when A1 > 0", kUnitY, "the largest Y"},
      {"A1.......:",
       "m-value: the change of the free energy of unfolding per unit of X; positive when Y "
       "rises with X",
       "kJ/mol per unit of X: kJ/(mol M) for molar X", "5"},
      {"A2.......:", "midpoint: the X at which Y = A0/2", kUnitX,
       "the X at which Y is half-way"}},
     "Y = A0/(1 + exp(-(A1/2.5205321868)*(X - A2)))\n"
     "(2.5205321868 is R*T in kJ/mol at 303.15 K, 30 degrees C)",
     {"urea (denaturant) concentration", "any concentration unit (molar, for instance)"},
     {"observed signal, 0 at low X when A1 > 0", kAnyUnit}, kNoX2,
     "none", "1:5:4"},

    {"PH_TITR2", "PH Titration 2", "Notes: PH Titration with 2 pka terms", 5,
     {{"Sah......:", "Y of the fully protonated form, approached at low pH", kUnitY,
       "Y at the lowest pH"},
      {"pKa1.....:", "pKa of the first site", "pH units", "the pH of the first midpoint"},
      {"Sa1......:", "change of Y when the first site loses its proton", kUnitY,
       "the height of the first step"},
      {"pKa2.....:", "pKa of the second site", "pH units", "the pH of the second midpoint"},
      {"Sa2......:", "change of Y when the second site loses its proton", kUnitY,
       "the height of the second step"}},
     "Y = Sah + Sa1/(1 + 10^(pKa1 - X)) + Sa2/(1 + 10^(pKa2 - X))\n"
     "(1/(1 + 10^(pKa - X)) is the deprotonated fraction of a site at pH X)",
     {"pH", "pH units"}, {"observed quantity, such as a chemical shift", kAnyUnit}, kNoX2,
     "none", "8:4:0.5:7:0.3"},

    {"Z_SUM_EXPON", "Variant of sum of 2 exponentials",
     "a0*(1.0 - exp(-x/a1)) + a2*(1.0 - exp(-x/a3))", 4,
     {{"A0.......:", "final amplitude of the first component", kUnitY,
       "about half of the last Y"},
      {"A1.......:", "time constant of the first component", kUnitX,
       "the time scale of the fast part; start A1 and A3 well apart"},
      {"A2.......:", "final amplitude of the second component", kUnitY,
       "about half of the last Y"},
      {"A3.......:", "time constant of the second component", kUnitX,
       "the time scale of the slow part"}},
     "Y = A0*(1 - exp(-X/A1)) + A2*(1 - exp(-X/A3))\n"
     "(a build-up in two components from Y = 0 at X = 0)",
     {"time, or any variable of the build-up", kAnyUnit}, {"signal", kAnyUnit}, kNoX2,
     "none", "500:0.1:500:2"},
};

constexpr bool same_text(const char *a, const char *b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// Row i must be fit function i as the model library names it.
constexpr bool catalogue_matches_ids() {
  for (int id = 0; id < kFitFuncCount; ++id)
    if (!same_text(kCatalogue[id].keyword, kFitFuncKeyword[id])) return false;
  return true;
}
static_assert(sizeof kCatalogue / sizeof kCatalogue[0] == kFitFuncCount,
              "one catalogue row per fit-function id");
static_assert(catalogue_matches_ids(), "catalogue rows in fit-function id order");

}  // namespace

const CatalogueEntry &catalogue_entry(int id) { return kCatalogue[id]; }

int catalogue_id(const char *word) {
  for (int id = 0; id < kFitFuncCount; ++id)
    if (std::strcmp(word, kCatalogue[id].keyword) == 0) return id;
  return -1;
}

std::string parm_name(const char *label) {
  std::string name = label;
  while (!name.empty() && (name.back() == ':' || name.back() == '.')) name.pop_back();
  return name;
}
