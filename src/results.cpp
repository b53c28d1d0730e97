// Fit statistics derived once from the run state, for every writer that needs
// more than the reports print.
#include "tavfit.h"

#include <cmath>

// Boost's root finders include <iostream> only for their debugging output,
// which this build never enables.  Under libstdc++ that include alone puts a
// std::ios_base::Init object in this file, and its constructor builds the
// standard streams and the classic locale on every run, -json or not, before
// main starts: some 5 % of the start-up of a run that only reports a missing
// option.  Marking <iostream> as already included keeps it out; the
// program never uses the standard streams.
#define _GLIBCXX_IOSTREAM 1
#include <boost/math/distributions/students_t.hpp>
#undef _GLIBCXX_IOSTREAM

namespace {

FitResults results;

}  // namespace

const char *method_name(int method) {
  switch (method) {
    case kMethodLevmar: return "LEVMAR";
    case kMethodTavrin: return "TAVRIN";
    case kMethodCeres: return "CERES";
    default: return "UNKNOWN";
  }
}

void compute_results() {
  FitResults &r = results;
  r = FitResults{};
  const int P = fitParmNum[fitFunc];
  r.n = numData;
  r.p = 0;
  for (int k = 0; k < P; ++k)
    if (holdConstFlag[k] == 0) r.freeSlot[r.p++] = k;
  r.dof = r.n - r.p;

  double sumY = 0.0;
  for (int i = 0; i < r.n; ++i) sumY += yData[i];
  const double meanY = sumY / r.n;
  double sse = 0.0;
  double sst = 0.0;
  for (int i = 0; i < r.n; ++i) {
    const double residual = fxData[i] - yData[i];
    sse += residual * residual;
    sst += (yData[i] - meanY) * (yData[i] - meanY);
  }
  r.sse = sse;
  const double n = r.n;
  const double dof = r.dof;
  r.residualStdError = r.dof > 0 ? std::sqrt(sse / dof) : NAN;
  r.rSquared = 1.0 - sse / sst;
  r.adjRSquared = r.dof > 0 ? 1.0 - (1.0 - r.rSquared) * (n - 1) / dof : NAN;
  const double neg2LogLikelihood = n * std::log(sse / n);
  r.aic = neg2LogLikelihood + 2.0 * r.p;
  r.bic = neg2LogLikelihood + std::log(n) * r.p;
  // Boost raises a domain error for dof < 1; there is no interval then.
  r.t975 = r.dof > 0 ? boost::math::quantile(boost::math::students_t(dof), 0.975) : NAN;

  for (int i = 0; i < r.p; ++i)
    for (int j = 0; j < r.p; ++j)
      r.correlation[i][j] = fitCovar[i][j] / std::sqrt(fitCovar[i][i] * fitCovar[j][j]);

  for (int k = 0; k < P; ++k) {
    const bool held = holdConstFlag[k] != 0;
    r.ci95Low[k] = held ? NAN : fitParms[k] - r.t975 * fitStdDev[k];
    r.ci95High[k] = held ? NAN : fitParms[k] + r.t975 * fitStdDev[k];
  }
}

const FitResults &fit_results() { return results; }
