// A user of the installed library: fits the curve of examples/t1_relax.dat
// with the method named on the command line and prints each parameter's value
// and standard deviation, at full precision, for library_check.sh.
#include <tavfit/tavfit.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv) {
  const struct {
    const char *name;
    tavfit::Method method;
  } methods[] = {{"tavrin", tavfit::Method::Tavrin},
                 {"levmar", tavfit::Method::Levmar},
                 {"ceres", tavfit::Method::Ceres}};
  for (const auto &m : methods) {
    if (argc != 2 || std::strcmp(argv[1], m.name) != 0) continue;
    const tavfit::Model *model = tavfit::find_model("T1_RELAX");
    if (model == nullptr) return 2;
    tavfit::Curve curve{{0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1, 1.5, 2, 3.5, 6},
                        {-936.5, -869.4, -801.9, -664.2, -481.2, -308.8, -61.3, 127.2, 421.0,
                         608.3, 884.6, 985.4}};
    const tavfit::FitResult r = tavfit::fit({*model, curve, {900, 2, 1}}, m.method);
    if (!r.ok) {
      std::fprintf(stderr, "%s: %s\n", m.name, r.message.c_str());
      return 1;
    }
    for (size_t i = 0; i < r.value.size(); ++i) std::printf("%.17g %.17g\n", r.value[i], r.sd[i]);
    return 0;
  }
  std::fprintf(stderr, "usage: %s tavrin|levmar|ceres\n", argv[0]);
  return 2;
}
