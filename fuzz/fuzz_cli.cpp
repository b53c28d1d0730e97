// libFuzzer target: the command-line reader, get_args.  The input is a list
// of words separated by newlines.  Inputs holding '/' are skipped, so that the
// output files the command line creates stay in the current directory (run
// the target in a scratch directory), and so are inputs with a word that
// prints information and exits (help, version, list, describe).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace {

void reset_options() {
  dataFname.clear();
  outVerbFname.clear();
  outShortFname.clear();
  logFname.clear();
  jsonFname.clear();
  plotFname.clear();
  for (int i = 0; i < kMaxParms; ++i) {
    fitParms[i] = 0.0;
    holdConstFlag[i] = 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::set_up();
  const std::string text(reinterpret_cast<const char *>(data), size);
  if (text.find('/') != std::string::npos || text.find('\0') != std::string::npos) return 0;

  std::vector<std::string> words = {"tavfit"};
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  static const char *const kExits[] = {"-h",       "-help", "--help",   "-version",
                                       "--version", "-list", "-describe"};
  for (const std::string &word : words)
    for (const char *exits : kExits)
      if (word == exits) return 0;
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);

  reset_options();
  try {
    get_args(static_cast<int>(words.size()), argv.data());
    if (fitFunc < 0 || (fitFunc >= kNumFitFuncs && fitFunc != kFormulaFunc)) __builtin_trap();
    for (int i = 0; i < kMaxParms; ++i)
      if (holdConstFlag[i] != 0 && holdConstFlag[i] != 1) __builtin_trap();
  } catch (const fuzz::FatalUnwind &) {
  }
  clear_run_messages();
  return 0;
}
