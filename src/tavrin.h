// The TAVRIN engine: Gauss-Newton with forward-difference derivatives and a
// fixed step of one tenth of the full correction.  Its working variables
// live in a state object, one per fit, so that fits can run side by side.
//
// Each routine returns true, or false after out->fail() with the failure's
// message; the caller then stops.
#pragma once

#include "methods.h"

struct TavrinState {
  const FitProblem *problem = nullptr;
  MethodOutput *out = nullptr;
  int changeParmsNum = 0;                // m, the number of free parameters
  double cVec[kMaxParms] = {};           // J^T r
  double mMat[kMaxParms][kMaxParms] = {};  // J^T J (consumed by set_new_parms)
  double zMat[kMaxParms][kMaxParms] = {};  // inverse of J^T J
  double s0 = 0;  // residual sum of squares while accumulating; then sqrt(S / (n - m))
  double s1 = 0;  // s0 before the last update
  double rmse = 0;           // sqrt(S / n) at the parameters of the last pass
  int itCount = 0;           // updates made
  bool nearZeroStop = false; // the last pass found the RMSE below 1e-8
};

// A state for problem, its failures and messages going to out.
TavrinState tavrin_state(const FitProblem &problem, MethodOutput &out);

// The RMSE of the parameters p, which are checked for the unset marker first.
bool calc_rmse(TavrinState &st, const double *p, double *result);
// Adds the normal equations of the free parameters at p to cVec and mMat
// (cleared first) and the squared residuals to s0; p is restored on return.
bool calc_deriv(TavrinState &st, double *p);
// Inverts mMat into zMat and moves the free parameters one tenth of the way.
bool set_new_parms(TavrinState &st, double *p);
// One pass: update (except in the first), linearise, watch the RMSE.
bool one_iteration(TavrinState &st, double *p);
