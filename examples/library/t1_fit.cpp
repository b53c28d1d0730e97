#include <tavfit/tavfit.h>
#include <vector>
int main() {
  std::vector<double> x{0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1, 1.5, 2, 3.5, 6};
  std::vector<double> y{-936.5, -869.4, -801.9, -664.2, -481.2, -308.8, -61.3, 127.2,
                        421.0, 608.3, 884.6, 985.4};
  const tavfit::Model *model = tavfit::find_model("T1_RELAX");  // nullptr if unknown
  tavfit::Curve curve{x, y};                        // x2 optional, as a third vector
  tavfit::Problem problem{*model, curve, {900, 2, 1}};
  problem.held = {false, false, false};             // optional, default all free
  tavfit::FitResult r = tavfit::fit(problem, tavfit::Method::Levmar);  // also Tavrin, Ceres
  // r.ok (bool), r.message (std::string, empty when ok), r.value and r.sd
  // (std::vector<double>, one per model parameter), r.covariance (std::vector<double>,
  // row-major over the free parameters), r.sse (double), r.iterations (int)
  return r.ok ? 0 : 1;
}
