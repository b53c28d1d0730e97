/*
 * levmar.h - Levenberg-Marquardt least squares with a finite-difference Jacobian.
 *
 * One routine, dlevmar_dif(), built on LAPACK/BLAS.  C linkage, so C and C++
 * callers see the same symbol.
 */
#ifndef LEVMAR_H
#define LEVMAR_H

#define LM_INFO_SZ 10
#define LM_ERROR   -1
#define LM_DIF_WORKSZ(m, n) (4*(n) + 4*(m) + (n)*(m) + (m)*(m))   /* m parameters, n measurements */
#define LM_INIT_MU     1E-03
#define LM_STOP_THRESH 1E-17
#define LM_DIFF_DELTA  1E-06

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Minimises ||x - f(p)||^2 over the m parameters p, for n >= m measurements x,
 * by Levenberg-Marquardt.  The Jacobian of f is estimated by finite
 * differences at the start and whenever progress stalls, and refined by
 * Broyden rank-one updates in between.
 *
 * func   Model: func(p, hx, m, n, adata) writes the n model values f(p) into hx.
 *        It may be called with p pointing into the caller's array (slightly
 *        perturbed, then restored) or into the work area.
 * p      In: the m start values.  Out: the fitted values (the last accepted
 *        point; left at the start values if no step was accepted).
 * x      The n measurements.
 * m, n   Number of parameters and of measurements.  n < m is refused.
 * itmax  Maximum number of iterations.  Accepted and rejected steps both count.
 * opts   {tau, eps1, eps2, eps3, delta}, or NULL for
 *        {LM_INIT_MU, LM_STOP_THRESH, LM_STOP_THRESH, LM_STOP_THRESH, LM_DIFF_DELTA}.
 *          tau    initial damping, relative to the largest diagonal entry of J^T J;
 *          eps1   stop when max |J^T e| <= eps1;
 *          eps2   stop when ||Dp||_2 <= eps2 * ||p||_2;
 *          eps3   stop when ||e||_2^2 <= eps3;
 *          delta  finite-difference step floor.  The step for p[j] is
 *                 max(|1E-04 * p[j]|, |delta|); delta > 0 selects forward
 *                 differences (m evaluations per Jacobian), delta < 0 central
 *                 differences (2m evaluations).
 * info   NULL, or LM_INFO_SZ doubles receiving:
 *          [0] ||e||_2^2 at the start values
 *          [1] ||e||_2^2 at the returned p
 *          [2] max |J^T e| of the last assembled normal equations
 *          [3] ||Dp||_2^2 of the last step (0 when stopped by reason 1)
 *          [4] final damping mu / max diagonal entry of J^T J
 *          [5] number of iterations k
 *          [6] termination reason:
 *                1  small gradient J^T e
 *                2  small relative step Dp
 *                3  iteration limit itmax reached
 *                4  singular matrix: the step came out absurdly large
 *                5  no further error reduction possible (damping overflowed)
 *                6  small squared residual norm ||e||_2^2
 *                7  NaN or infinite model values
 *          [7] number of func evaluations
 *          [8] number of finite-difference Jacobians
 *          [9] number of linear systems solved (attempted)
 * work   NULL, or at least LM_DIF_WORKSZ(m, n) doubles of scratch.  With NULL
 *        the routine allocates and frees its own.
 * covar  NULL, or m*m doubles (row-major) receiving the covariance of p:
 *        pinv(J^T J) * ||e||^2 / (n - rank).  All zeros when J^T J has rank 0
 *        (e.g. no Jacobian was ever formed); left unwritten if its SVD fails.
 * adata  Passed through to func untouched.
 *
 * Returns the iteration count k, or LM_ERROR when stopped by reason 4 or 7 or
 * when the problem is refused (n < m, m < 0, out of memory); a refused problem
 * leaves info and covar untouched.  Diagnostics go to standard error.
 */
int dlevmar_dif(void (*func)(double *p, double *hx, int m, int n, void *adata),
                double *p, double *x, int m, int n, int itmax,
                double opts[5], double info[LM_INFO_SZ],
                double *work, double *covar, void *adata);

#ifdef __cplusplus
}
#endif

#endif /* LEVMAR_H */
