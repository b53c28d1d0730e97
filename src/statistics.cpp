// The statistics of a fit: goodness of fit, and what follows from the
// covariance, derived once for every writer that needs more than the fit.
#include <cmath>

// Boost's root finders include <iostream> only for their debugging output,
// which this build never enables.  Under libstdc++ that include alone puts a
// std::ios_base::Init object in this file, and its constructor builds the
// standard streams and the classic locale on every run, before main starts:
// some 5 % of the start-up of a run that only reports a missing option.
// Marking <iostream> as already included keeps it out; nothing here uses the
// standard streams.
#define _GLIBCXX_IOSTREAM 1
#include <boost/math/distributions/students_t.hpp>
#undef _GLIBCXX_IOSTREAM

#include <tavfit/tavfit.h>

#include "problem.h"

namespace tavfit {

Statistics statistics(const Problem &problem, const FitResult &result) {
  Statistics s;
  const std::vector<double> &y = problem.curve.y;
  s.n = static_cast<int>(y.size());
  s.p = static_cast<int>(result.free.size());
  s.dof = s.n - s.p;
  const double n = s.n;
  const double dof = s.dof;

  double sumY = 0.0;
  for (double v : y) sumY += v;
  const double meanY = sumY / n;
  double sst = 0.0;
  for (double v : y) sst += (v - meanY) * (v - meanY);
  const Points points = {problem.curve.x.data(), y.data(), nullptr, s.n};
  s.residuals.assign(y.size(), NAN);
  s.sse = NAN;
  if (result.fitted.size() == y.size()) {
    for (int i = 0; i < s.n; ++i) s.residuals[i] = points.residual(i, result.fitted[i]);
    s.sse = squared_residuals(points, result.fitted.data());
  }
  s.residual_std_error = s.dof > 0 ? std::sqrt(s.sse / dof) : NAN;
  s.r_squared = 1.0 - s.sse / sst;
  s.adj_r_squared = s.dof > 0 ? 1.0 - (1.0 - s.r_squared) * (n - 1) / dof : NAN;
  const double neg2LogLikelihood = n * std::log(s.sse / n);
  s.aic = neg2LogLikelihood + 2.0 * s.p;
  s.bic = neg2LogLikelihood + std::log(n) * s.p;
  // Boost raises a domain error for dof < 1; there is no interval then.
  s.t975 = s.dof > 0 ? boost::math::quantile(boost::math::students_t(dof), 0.975) : NAN;

  const std::vector<double> &cov = result.covariance;
  const int m = s.p;
  s.correlation.resize(static_cast<size_t>(m) * m);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j)
      s.correlation[i * m + j] = cov[i * m + j] / std::sqrt(cov[i * m + i] * cov[j * m + j]);

  const size_t P = result.value.size();
  s.ci95_low.assign(P, NAN);
  s.ci95_high.assign(P, NAN);
  for (int k : result.free) {
    s.ci95_low[k] = result.value[k] - s.t975 * result.sd[k];
    s.ci95_high[k] = result.value[k] + s.t975 * result.sd[k];
  }
  return s;
}

}  // namespace tavfit
