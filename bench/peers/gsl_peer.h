/* What the GSL peers share: the models in the program's parameter order, and one fit with
 * gsl_multifit_nlinear's trust-region method with its default parameters (Levenberg-Marquardt,
 * More scaling, QR solver, forward-difference Jacobian since no df is given), stopped as the GSL
 * manual's example stops it (xtol 1e-8, gtol 1e-8, ftol 0). Standard errors are
 * sqrt(chisq/(n-p) * C_ii) with C from gsl_multifit_nlinear_covar (NIST's definition). */
#ifndef GSL_PEER_H
#define GSL_PEER_H

#include <math.h>
#include <string.h>

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#define MAXPAR 10

typedef double (*model_fn)(double x, const double *p);

static double m_line(double x, const double *p) { return p[0] * x + p[1]; }
static double m_quad(double x, const double *p) { return p[0] * x * x + p[1] * x + p[2]; }
static double m_exp1(double x, const double *p) { return p[0] * (1 - exp(p[1] * x)) + p[2]; }
static double m_sigmoid(double x, const double *p)
{
    return p[0] + p[1] / (1 + exp(-(x - p[2]) / p[3]));
}
static double m_gauss(double x, const double *p)
{
    return p[0] * exp(-(x - p[1]) * (x - p[1]) / (p[2] * (p[2] + p[2]))) + p[3];
}
static double m_sum_expon(double x, const double *p)
{
    return p[0] * exp(-x / p[1]) + p[4] + p[2] * exp(-x / p[3]);
}
static double m_t1(double x, const double *p) { return p[0] * (1 - p[1] * exp(-x / p[2])); }

static const struct {
    const char *key;
    int npar;
    model_fn f;
} MODELS[] = {
    {"LINE", 2, m_line},       {"QUADRATIC", 3, m_quad},       {"EXP1", 3, m_exp1},
    {"SIGMOID", 4, m_sigmoid}, {"GAUSS", 4, m_gauss},          {"SUM_EXPON", 5, m_sum_expon},
    {"T1_RELAX", 3, m_t1},
};

struct problem {
    size_t n, nfree, maxiter;
    const double *x, *y;
    model_fn f;
    double p[MAXPAR];
    size_t freeidx[MAXPAR];
};

static int resid(const gsl_vector *v, void *data, gsl_vector *r)
{
    struct problem *pb = data;
    double p[MAXPAR];
    memcpy(p, pb->p, sizeof p);
    for (size_t k = 0; k < pb->nfree; k++)
        p[pb->freeidx[k]] = gsl_vector_get(v, k);
    for (size_t i = 0; i < pb->n; i++)
        gsl_vector_set(r, i, pb->f(pb->x[i], p) - pb->y[i]);
    return GSL_SUCCESS;
}

struct result {
    int status, info;
    size_t niter, nfev;
    double p[MAXPAR], se[MAXPAR];
    int have_se;
};

static void run_fit(struct problem *pb, struct result *res)
{
    gsl_multifit_nlinear_fdf fdf = {0};
    fdf.f = resid;
    fdf.df = NULL;
    fdf.fvv = NULL;
    fdf.n = pb->n;
    fdf.p = pb->nfree;
    fdf.params = pb;
    gsl_multifit_nlinear_parameters prm = gsl_multifit_nlinear_default_parameters();
    gsl_multifit_nlinear_workspace *w =
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &prm, pb->n, pb->nfree);
    gsl_vector *x0 = gsl_vector_alloc(pb->nfree);
    for (size_t k = 0; k < pb->nfree; k++)
        gsl_vector_set(x0, k, pb->p[pb->freeidx[k]]);
    res->status = gsl_multifit_nlinear_init(x0, &fdf, w);
    res->info = 0;
    if (res->status == GSL_SUCCESS)
        res->status =
            gsl_multifit_nlinear_driver(pb->maxiter, 1e-8, 1e-8, 0.0, NULL, NULL, &res->info, w);
    res->niter = gsl_multifit_nlinear_niter(w);
    res->nfev = fdf.nevalf;
    memcpy(res->p, pb->p, sizeof res->p);
    const gsl_vector *xs = gsl_multifit_nlinear_position(w);
    for (size_t k = 0; k < pb->nfree; k++)
        res->p[pb->freeidx[k]] = gsl_vector_get(xs, k);
    /* covariance at the final point, scaled by the residual variance */
    gsl_matrix *covar = gsl_matrix_alloc(pb->nfree, pb->nfree);
    const gsl_vector *r = gsl_multifit_nlinear_residual(w);
    double chisq;
    gsl_blas_ddot(r, r, &chisq);
    res->have_se = pb->n > pb->nfree &&
                   gsl_multifit_nlinear_covar(gsl_multifit_nlinear_jac(w), 0.0, covar) == GSL_SUCCESS;
    for (size_t k = 0; k < pb->nfree; k++) {
        double c = gsl_matrix_get(covar, k, k);
        res->se[pb->freeidx[k]] =
            res->have_se ? sqrt(chisq / (double)(pb->n - pb->nfree) * c) : NAN;
    }
    gsl_matrix_free(covar);
    gsl_vector_free(x0);
    gsl_multifit_nlinear_free(w);
}

#endif
