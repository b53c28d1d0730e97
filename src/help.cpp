// The information words: help, version, the model list and one model in full.
// Every text comes from the option table (main) and the catalogue (init), so
// the program, its manual page and the README cannot say different things.
#include "program.h"
#include "version.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kWidth = 79;  // fits an 80-column terminal

// Appends text broken into lines of at most kWidth characters at blanks: the
// first line starts with first, the others with indent (by default as many
// blanks as first has characters).  A word longer than a line stays whole.
void append_wrapped(std::string &out, const std::string &first, const std::string &text,
                    size_t indentWidth = std::string::npos) {
  const std::string indent(indentWidth != std::string::npos ? indentWidth : first.size(), ' ');
  std::string line = first;
  bool empty = true;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find(' ', at), text.size());
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!empty && line.size() + 1 + word.size() > kWidth) {
      out += line + "\n";
      line = indent;
      empty = true;
    }
    line += (empty ? "" : " ") + word;
    empty = false;
  }
  out += line + "\n";
}

// A formula line is broken after a ", " between two definitions where it
// can be, inside an expression only where it must; continued lines get a
// deeper indent, so that they cannot be taken for new ones.
void append_formula(std::string &out, const std::string &text) {
  const std::string first = "    ";
  const size_t continued = 8;
  std::string indent = first;
  std::string content;
  auto flush = [&]() {
    while (!content.empty() && content.back() == ' ') content.pop_back();
    append_wrapped(out, indent, content, continued);
    indent = std::string(continued, ' ');
    content.clear();
  };
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    const bool last = i == text.size();
    if (!last && (text[i] == '(' || text[i] == '[')) ++depth;
    if (!last && (text[i] == ')' || text[i] == ']')) --depth;
    const bool definitionEnds = !last && depth == 0 && text.compare(i, 2, ", ") == 0;
    if (!definitionEnds && !last) continue;
    const std::string piece = text.substr(start, last ? std::string::npos : i + 2 - start);
    start = i + 2;
    if (piece.empty()) continue;
    const size_t shown = piece.size() - (piece.back() == ' ' ? 1 : 0);
    if (!content.empty() && indent.size() + content.size() + shown > kWidth) flush();
    content += piece;
  }
  flush();
}

std::string parm_names(const CatalogueEntry &entry) {
  std::string names;
  for (int k = 0; k < entry.parmNum; ++k)
    names += (k > 0 ? " " : "") + parm_name(entry.parm[k].label);
  return names;
}

std::string pad(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// A text that never reached its reader is reported, once, by the check of
// standard output at exit.
[[noreturn]] void print_and_exit(const std::string &text) {
  std::fputs(text.c_str(), stdout);
  std::exit(0);
}

}  // namespace

std::string help_text() {
  std::string out =
      "Usage: tavfit -fit KEYWORD -d FILE [-parms LIST] [OPTION]...\n"
      "  or:  tavfit -model FORMULA -d FILE -parms LIST [OPTION]...\n"
      "  or:  tavfit -batch TABLE -columns curve=COL,x=COL,y=COL -fit KEYWORD\n"
      "              -parms LIST -results FILE [OPTION]...\n"
      "  or:  tavfit -list | -describe KEYWORD | -describe FORMULA | -h | -version\n"
      "Fit one built-in model, or a formula typed on the command line, to one curve\n"
      "of X Y (or X Y X2) points by least squares, and write a verbose and a short\n"
      "report.\n"
      "\n"
      "Options:\n";
  // One line per option; aliases join the row they follow.
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 0; i < option_count(); ++i) {
    const OptionInfo &option = option_at(i);
    std::string words = option.word;
    if (option.value != nullptr) words += std::string(" ") + option.value;
    if (option.help == nullptr && !rows.empty())
      rows.back().first += ", " + words;
    else
      rows.push_back({words, option.help != nullptr ? option.help : ""});
  }
  size_t column = 0;
  for (const auto &row : rows) column = std::max(column, row.first.size());
  for (const auto &row : rows) out += "  " + pad(row.first, column) + "  " + row.second + "\n";
  out +=
      "\n"
      "Start with tavfit -list, then tavfit -describe KEYWORD for the meaning, unit\n"
      "and a start value of every parameter.  The manual: man tavfit.\n"
      "\n"
      "Data file:\n"
      "  one point per line, X Y, or X Y X2 for the models that use X2; numbers\n"
      "  separated by blanks; lines that begin with # are comments; 2 to 1500 points.\n"
      "  With -sigma each line ends with the point's standard deviation: X Y SD,\n"
      "  or X Y X2 SD.\n"
      "  With -columns, a table of any length: fields separated by , ; tab or blanks,\n"
      "  a header row if its fields are not numbers; COL is a header name or a column\n"
      "  number (1, 2, ...).\n"
      "\n"
      "Formulas:\n"
      "  tavfit -d t1.dat -model \"Mo*(1-W*exp(-x/T1))\" -parms 900:2:1 -ceres\n"
      "  x and x2 are the data's X and X2; every other name is a parameter, in the\n"
      "  order it first appears (the -parms order; at most 10).  + - * / ^ (2^3^2 is\n"
      "  2^9, -x^2 is -(x^2)), parentheses, numbers, pi, e; exp log log10 sqrt abs\n"
      "  sin cos tan asin acos atan sinh cosh tanh erf pow min max, and\n"
      "  if(COND, A, B) with < <= > >= == != for piecewise models.  Every method,\n"
      "  -batch and the reports take it as a built-in model; -ceres and the check\n"
      "  differentiate it exactly.  -describe FORMULA shows how it was read.\n"
      "\n"
      "Many curves:\n"
      "  tavfit -batch plate.csv -columns curve=well,x=time,y=signal -fit T1_RELAX\n"
      "         -parms 900:2:1 -results fits.tsv\n"
      "  fits each well's curve on every core and writes one row per curve, in table\n"
      "  order: curve, status, message, each parameter and its SD, n, SSE, RMSE, R^2,\n"
      "  AIC, BIC, iterations, check.\n"
      "\n"
      "Exit status:\n"
      "  0 after a fit whose reports were written, and after -h, -version, -list\n"
      "  or -describe; 1 after any error, reported on standard output, and after\n"
      "  -batch when any curve failed.\n";
  return out;
}

std::string list_text() {
  size_t keyColumn = std::strlen("Keyword");
  size_t namesColumn = std::strlen("Parameters");
  for (int id = 0; id < kNumFitFuncs; ++id) {
    keyColumn = std::max(keyColumn, std::strlen(catalogue_entry(id).keyword));
    namesColumn = std::max(namesColumn, parm_names(catalogue_entry(id)).size());
  }
  std::string out = pad("Keyword", keyColumn) + "  N  " + pad("Parameters", namesColumn) +
                    "  X2   Label\n";
  for (int id = 0; id < kNumFitFuncs; ++id) {
    const CatalogueEntry &entry = catalogue_entry(id);
    out += pad(entry.keyword, keyColumn) + "  " + std::to_string(entry.parmNum) + "  " +
           pad(parm_names(entry), namesColumn) + "  " +
           (entry.x2.meaning != nullptr ? "yes  " : "no   ") + entry.label + "\n";
  }
  return out;
}

std::string description_text(int id) {
  const CatalogueEntry &entry = catalogue_entry(id);
  std::string out = std::string(entry.keyword) + ": " + entry.label + "\n\n";

  const char *line = entry.formula;
  while (*line != '\0') {
    const char *end = std::strchr(line, '\n');
    const std::string text = end != nullptr ? std::string(line, end) : std::string(line);
    line = end != nullptr ? end + 1 : line + text.size();
    append_formula(out, text);
  }

  const bool usesX2 = entry.x2.meaning != nullptr;
  out += usesX2 ? "\nData columns, three per line: X Y X2\n"
                : "\nData columns, two per line: X Y (this model does not use X2)\n";
  append_wrapped(out, "  X   ", std::string(entry.x.meaning) + ". Unit: " + entry.x.unit + ".");
  append_wrapped(out, "  Y   ", std::string(entry.y.meaning) + ". Unit: " + entry.y.unit + ".");
  if (usesX2)
    append_wrapped(out, "  X2  ",
                   std::string(entry.x2.meaning) + ". Unit: " + entry.x2.unit + ".");

  size_t column = 0;
  for (const CatalogueParm *parm = entry.parm; parm != entry.parm + entry.parmNum; ++parm)
    column = std::max(column, parm_name(parm->label).size());
  out += "\nParameters, in -parms order:\n";
  for (int k = 0; k < entry.parmNum; ++k) {
    const CatalogueParm &parm = entry.parm[k];
    const std::string first = "  " + pad(parm_name(parm.label), column) + "  ";
    append_wrapped(out, first, std::string(parm.meaning) + ".");
    append_wrapped(out, std::string(first.size(), ' '),
                   std::string("Unit: ") + parm.unit + ". Start: " + parm.start + ".");
  }

  out += "\n";
  append_wrapped(out, "Usually held: ", std::string(entry.held) + ".");
  out += std::string("Typical start: -parms ") + entry.start + "\n";
  const std::string base = entry.keyword;
  std::string stem = base;
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  out += "Examples:\n  tavfit -d " + stem + ".dat -fit " + base + " -parms " + entry.start +
         " -o " + stem + ".out -short " + stem + ".short\n";
  out += "  tavfit -d " + stem + ".csv -columns x=1,y=2" + (usesX2 ? ",x2=3" : "") + " -fit " +
         base + " -parms " + entry.start + "\n";
  return out;
}

void print_help() { print_and_exit(help_text()); }

void print_version() {
  print_and_exit(std::string("tavfit ") + kTavfitVersion + "\n" + "Built with " +
                 kTavfitLapackBlas + ".\n");
}

void print_list() { print_and_exit(list_text()); }

void print_description(int id) { print_and_exit(description_text(id)); }

std::string formula_description_text(const tavfit::Model &model) {
  std::string out = "Formula: " + model.label + "\n\n";
  out += "Read as:\n";
  append_formula(out, model.description);
  out += model.uses_x2 ? "\nData columns, three per line: X Y X2\n"
                       : "\nData columns, two per line: X Y (this formula does not use X2)\n";
  if (!model.uses_x) out += "This formula does not use X: it fits one value to every point.\n";
  out += "\nParameters, in -parms order:";
  for (const std::string &name : model.parameters) out += " " + name;
  out += "\n";
  return out;
}

void print_formula_description(const tavfit::Model &model) {
  print_and_exit(formula_description_text(model));
}
