// The interface of the Ceres module, tavfit_ceres.so.
//
// The Ceres method lives in a shared object that the program loads with
// dlopen only when "-ceres" is given, so that a plain run never loads Ceres
// and the two dozen libraries it brings.  The boundary is plain C: POD
// arguments only, no C++ objects, exceptions or allocations cross it, so the
// module works whichever C++ runtime the program itself was linked with.
// The module prints nothing; its texts come back in the result.
#pragma once

#include "formula_code.h"

extern "C" {

// Bumped whenever a structure below changes; the program refuses a module
// built for another version.
#define TAVFIT_CERES_ABI_VERSION 5

// Largest number of parameter slots (the run state's kMaxParms).
#define TAVFIT_CERES_MAX_PARMS 10

// What a fit needs: the model, its parameter slots with hold flags, the data.
struct CeresFitProblem {
  int fitFunc;           // fit-function id (not read with a formula)
  int numSlots;          // the model's parameter count
  const int *hold;       // numSlots hold flags: 1 held, 0 free
  const double *slots;   // numSlots start values (held ones stay at them)
  int numData;           // points
  const double *x;       // numData abscissae
  const double *y;       // numData ordinates
  const double *x2;      // numData second abscissae (0.0 where none)
  int maxIterations;     // the solver's iteration limit, >= 0
  const double *sigma;   // numData standard deviations of y, or NULL: unweighted
  int absoluteSigma;     // 1: sigma is absolute, the covariance is not scaled
  // Bounds of the free slots (numSlots each, or all NULL): the kind of each
  // (0 none, 1 lower, 2 upper, 3 both) and the bounds.  A bounded slot's
  // value, in slots and in the result, is the unconstrained variable of the
  // program's transformation, not the parameter itself.
  const int *boundKind;
  const double *lower;
  const double *upper;
  // A typed formula, which is then the model (fitFunc is not read): its
  // postfix program of formulaLength instructions, or NULL.
  const TavfitFormulaOp *formula;
  int formulaLength;
};

// How a fit ended (CeresFitResult::status).
enum CeresFitStatus {
  kCeresConverged = 0,       // solution and covariance are valid
  kCeresNoConvergence = 1,   // iteration limit reached
  kCeresSolverFailure = 2,   // message holds the solver's reason
  kCeresModelUndefined = 3,  // message holds the model's own fatal text
  kCeresNoCovariance = 4,    // converged, but the covariance could not be computed
  kCeresBadProblem = 5,      // message says what is wrong with the problem
};

// What a fit gives back.  Free-parameter order throughout (the free slots in
// increasing slot order).
struct CeresFitResult {
  int status;                  // a CeresFitStatus
  int numFree;                 // m
  int iterations;              // successful plus unsuccessful steps
  double initialCost;          // Ceres' cost: half the sum of squared residuals
  double finalCost;
  double freeParms[TAVFIT_CERES_MAX_PARMS];  // fitted values
  // Covariance of the free parameters, m x m row-major: the inverse of J'J
  // (a pseudo-inverse that drops the directions the data do not determine,
  // whose variances come out exactly 0) scaled by SSE / (n - m), unless
  // absoluteSigma.  Zero unless
  // status is kCeresConverged.
  double covar[TAVFIT_CERES_MAX_PARMS * TAVFIT_CERES_MAX_PARMS];
  // The first free parameter the data do not determine (its unscaled
  // variance is exactly 0), or -1.  Set with kCeresConverged only.
  int undetermined;
  char termination[32];        // Ceres' termination type, e.g. "CONVERGENCE"
  char message[512];           // Ceres' message, or the failure's own text
};

// Fits problem and fills result; returns result->status.
int tavfit_ceres_fit(const CeresFitProblem *problem, CeresFitResult *result);
typedef int (*TavfitCeresFitFn)(const CeresFitProblem *, CeresFitResult *);

// A global fit: several curves of one model, whose shared free slots take
// one value for all curves and whose other free slots take a value per
// curve.  The unknowns are one vector, values: the shared free slots first,
// then each curve's own free slots in turn, each part in slot order.  The
// module fits it in place; the covariance is the caller's to compute.
struct CeresGlobalProblem {
  int fitFunc;
  int numSlots;
  const int *hold;         // numSlots hold flags
  const int *shared;       // numSlots flags: 1 shared
  int numCurves;
  const int *curveStart;   // numCurves + 1 offsets: curve c has points [curveStart[c], curveStart[c+1])
  const double *slots;     // numCurves x numSlots: each curve's held values
  const double *x, *y, *x2;  // all points, curve after curve
  const double *sigma;     // or NULL: unweighted
  int maxIterations;
  const int *boundKind;    // as in CeresFitProblem: numSlots each, or all NULL
  const double *lower;
  const double *upper;
  double *values;          // in: start values; out: fitted
  const TavfitFormulaOp *formula;  // as in CeresFitProblem: a typed formula, or NULL
  int formulaLength;
};

// How a global fit ended: status as CeresFitResult's (never kCeresNoCovariance).
struct CeresGlobalResult {
  int status;
  int iterations;
  double initialCost;
  double finalCost;
  char termination[32];
  char message[512];
};

int tavfit_ceres_global_fit(const CeresGlobalProblem *problem, CeresGlobalResult *result);
typedef int (*TavfitCeresGlobalFitFn)(const CeresGlobalProblem *, CeresGlobalResult *);

// TAVFIT_CERES_ABI_VERSION of the module.
int tavfit_ceres_abi_version(void);
typedef int (*TavfitCeresAbiVersionFn)(void);

}  // extern "C"
