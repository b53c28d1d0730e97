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
#include <boost/math/distributions/chi_squared.hpp>
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

  // With sigma every sum below is weighted by 1 / sigma^2, the mean of y too,
  // so that R^2 compares chi-square with the spread of y in the same units
  // (and all sigmas equal give the figures of the unweighted fit).
  const std::vector<double> &sigma = problem.curve.sigma;
  const bool weighted = !sigma.empty() && sigma.size() == y.size();
  double meanY, sst = 0.0;
  if (!weighted) {
    double sumY = 0.0;
    for (double v : y) sumY += v;
    meanY = sumY / n;
    for (double v : y) sst += (v - meanY) * (v - meanY);
  } else {
    double sumW = 0.0, sumWY = 0.0;
    for (int i = 0; i < s.n; ++i) {
      const double w = 1.0 / (sigma[i] * sigma[i]);
      sumW += w;
      sumWY += w * y[i];
    }
    meanY = sumWY / sumW;
    for (int i = 0; i < s.n; ++i) sst += (y[i] - meanY) * (y[i] - meanY) / (sigma[i] * sigma[i]);
  }
  const Points points = {problem.curve.x.data(), y.data(), nullptr, s.n};
  const Points weightedPoints = {problem.curve.x.data(), y.data(), nullptr, s.n,
                                 weighted ? sigma.data() : nullptr};
  s.residuals.assign(y.size(), NAN);
  s.sse = s.chi_square = NAN;
  if (result.fitted.size() == y.size()) {
    for (int i = 0; i < s.n; ++i) s.residuals[i] = points.residual(i, result.fitted[i]);
    s.sse = squared_residuals(points, result.fitted.data());
    s.chi_square = weighted ? squared_residuals(weightedPoints, result.fitted.data()) : s.sse;
  }
  const double chi2 = s.chi_square;
  s.reduced_chi_square = s.dof > 0 ? chi2 / dof : NAN;
  s.chi_square_p = NAN;
  if (weighted && problem.curve.absolute_sigma && s.dof > 0 && std::isfinite(chi2))
    s.chi_square_p = boost::math::cdf(
        boost::math::complement(boost::math::chi_squared_distribution<double>(dof), chi2));
  s.residual_std_error = s.dof > 0 ? std::sqrt(chi2 / dof) : NAN;
  s.r_squared = 1.0 - chi2 / sst;
  s.adj_r_squared = s.dof > 0 ? 1.0 - (1.0 - s.r_squared) * (n - 1) / dof : NAN;
  const double neg2LogLikelihood = n * std::log(chi2 / n);
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
