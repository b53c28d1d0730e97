// The parser of typed formulas: recursive descent into a tree, constants
// folded, then the tree written out as the postfix program formula.h runs.
//
//   formula     := comparison
//   comparison  := sum [ ("<" | "<=" | ">" | ">=" | "==" | "!=") sum ]
//   sum         := product { ("+" | "-") product }
//   product     := unary { ("*" | "/") unary }
//   unary       := ("-" | "+") unary | power
//   power       := primary [ "^" unary ]          right-associative: 2^3^2 = 2^9
//   primary     := number | name | name "(" arguments ")" | "(" formula ")"
//
// so that -x^2 is -(x^2) and 2^-x is 2^(-x), as in the usual notation.
#include "formula.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tavfit {
namespace {

struct Function {
  const char *name;
  int code;
  int arguments;
};

constexpr Function kFunctions[] = {
    {"exp", kFormulaExp, 1},   {"log", kFormulaLog, 1},   {"log10", kFormulaLog10, 1},
    {"sqrt", kFormulaSqrt, 1}, {"abs", kFormulaAbs, 1},   {"sin", kFormulaSin, 1},
    {"cos", kFormulaCos, 1},   {"tan", kFormulaTan, 1},   {"asin", kFormulaAsin, 1},
    {"acos", kFormulaAcos, 1}, {"atan", kFormulaAtan, 1}, {"sinh", kFormulaSinh, 1},
    {"cosh", kFormulaCosh, 1}, {"tanh", kFormulaTanh, 1}, {"erf", kFormulaErf, 1},
    {"pow", kFormulaPow, 2},   {"min", kFormulaMin, 2},   {"max", kFormulaMax, 2},
    {"if", kFormulaIf, 3},
};

const Function *find_function(const std::string &name) {
  for (const Function &f : kFunctions)
    if (name == f.name) return &f;
  return nullptr;
}

// A node of the tree: a leaf (kFormulaLeaf with its operand and value) or an
// instruction over its arguments.
struct Node {
  int code = kFormulaLeaf;
  int operand = kOperandConstant;
  double value = 0.0;
  std::string text;  // a leaf as typed, a function's name
  int args[3] = {-1, -1, -1};
  int count = 0;
};

const char *operator_text(int code) {
  switch (code) {
    case kFormulaAdd: return "+";
    case kFormulaSub: return "-";
    case kFormulaMul: return "*";
    case kFormulaDiv: return "/";
    case kFormulaPow: return "^";
    case kFormulaLess: return "<";
    case kFormulaLessEqual: return "<=";
    case kFormulaGreater: return ">";
    case kFormulaGreaterEqual: return ">=";
    case kFormulaEqual: return "==";
    case kFormulaNotEqual: return "!=";
    default: return nullptr;
  }
}

class Parser {
 public:
  Parser(const std::string &text, int maxParameters, Formula *formula)
      : text_(text), max_(maxParameters), f_(formula) {}

  // The root node, or -1 with fault_ set.
  int parse() {
    const int root = comparison();
    if (root < 0) return -1;
    skip_blanks();
    if (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == ')') return fail("Unmatched ')' in the formula");
      if (name_char(c) || c == '.' || c == '(') return fail("Expected an operator in the formula");
      return fail(std::string("Unexpected '") + c + "' in the formula");
    }
    return root;
  }

  std::vector<Node> nodes;
  FormulaFault fault;

 private:
  int fail(const std::string &message) { return fail_at(message, at_); }
  int fail_at(const std::string &message, size_t column) {
    fault.message = message;
    fault.column = static_cast<int>(column);
    return -1;
  }

  void skip_blanks() {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr && text_[at_] != '\0')
      ++at_;
  }
  bool take(const char *symbol) {
    skip_blanks();
    const size_t n = std::strlen(symbol);
    if (text_.compare(at_, n, symbol) != 0) return false;
    at_ += n;
    return true;
  }

  int add(Node node) {
    nodes.push_back(std::move(node));
    return static_cast<int>(nodes.size()) - 1;
  }
  int op(int code, int a, int b = -1, int c = -1) {
    Node n;
    n.code = code;
    n.args[0] = a;
    n.args[1] = b;
    n.args[2] = c;
    n.count = c >= 0 ? 3 : b >= 0 ? 2 : 1;
    return add(n);
  }

  // Parentheses, arguments and signs nest at most this deep: the parser
  // recurses once per level.
  static constexpr int kMaxNesting = 200;

  int comparison() {
    if (nesting_ >= kMaxNesting) return fail("The formula nests too deeply");
    ++nesting_;
    const int result = comparison_within();
    --nesting_;
    return result;
  }

  int comparison_within() {
    const int left = sum();
    if (left < 0) return -1;
    static const struct {
      const char *symbol;
      int code;
    } kComparisons[] = {{"<=", kFormulaLessEqual}, {">=", kFormulaGreaterEqual},
                        {"==", kFormulaEqual},     {"!=", kFormulaNotEqual},
                        {"<", kFormulaLess},       {">", kFormulaGreater}};
    for (const auto &c : kComparisons)
      if (take(c.symbol)) {
        const int right = sum();
        return right < 0 ? -1 : op(c.code, left, right);
      }
    return left;
  }

  int sum() {
    int left = product();
    while (left >= 0) {
      const int code = take("+") ? kFormulaAdd : take("-") ? kFormulaSub : -1;
      if (code < 0) break;
      const int right = product();
      left = right < 0 ? -1 : op(code, left, right);
    }
    return left;
  }

  int product() {
    int left = unary();
    while (left >= 0) {
      const int code = take("*") ? kFormulaMul : take("/") ? kFormulaDiv : -1;
      if (code < 0) break;
      const int right = unary();
      left = right < 0 ? -1 : op(code, left, right);
    }
    return left;
  }

  int unary() {
    while (take("+")) {
    }
    if (take("-")) {
      if (nesting_ >= kMaxNesting) return fail("The formula nests too deeply");
      ++nesting_;
      const int a = unary();
      --nesting_;
      return a < 0 ? -1 : op(kFormulaNeg, a);
    }
    return power();
  }

  int power() {
    const int base = primary();
    if (base < 0 || !take("^")) return base;
    const int exponent = unary();
    return exponent < 0 ? -1 : op(kFormulaPow, base, exponent);
  }

  static bool name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
  static bool name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

  int primary() {
    skip_blanks();
    if (at_ >= text_.size()) return fail("The formula ends where a value is expected");
    const char c = text_[at_];
    if (c == '(') {
      const size_t open = at_++;
      const int inner = comparison();
      if (inner < 0) return -1;
      if (!take(")")) {
        skip_blanks();
        return at_ >= text_.size() ? fail_at("Unmatched '(' in the formula", open)
                                   : fail("Expected ')' in the formula");
      }
      return inner;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') return number();
    if (name_start(c)) return name();
    return fail(std::string("Unexpected '") + c + "' in the formula");
  }

  int number() {
    const char *start = text_.c_str() + at_;
    char *end;
    const double value = std::strtod(start, &end);  // as C reads it
    if (end == start) return fail("Unexpected '.' in the formula");
    Node n;
    n.operand = kOperandConstant;
    n.value = value;
    n.text.assign(start, static_cast<size_t>(end - start));
    at_ += static_cast<size_t>(end - start);
    return add(n);
  }

  int name() {
    const size_t start = at_;
    while (at_ < text_.size() && name_char(text_[at_])) ++at_;
    const std::string word = text_.substr(start, at_ - start);
    skip_blanks();
    const bool call = at_ < text_.size() && text_[at_] == '(';
    if (call) return function_call(word, start);
    Node n;
    n.text = word;
    if (word == "x" || word == "x2") {
      n.operand = word == "x" ? kOperandX : kOperandX2;
      (word == "x" ? f_->usesX : f_->usesX2) = true;
      return add(n);
    }
    if (word == "pi" || word == "e") {
      n.value = word == "pi" ? 3.141592653589793 : 2.718281828459045;
      return add(n);
    }
    if (find_function(word) != nullptr)
      return fail_at("The function '" + word + "' needs its argument in parentheses", start);
    int k = 0;
    while (k < static_cast<int>(f_->parameters.size()) && f_->parameters[k] != word) ++k;
    if (k == static_cast<int>(f_->parameters.size())) {
      if (k == max_)
        return fail_at("The formula has more parameters than the " + std::to_string(max_) +
                           " a model can have: '" + word + "' would be parameter " +
                           std::to_string(k + 1),
                       start);
      f_->parameters.push_back(word);
      f_->parameterColumn.push_back(static_cast<int>(start));
    }
    n.operand = kOperandParameter + k;
    return add(n);
  }

  int function_call(const std::string &word, size_t start) {
    const Function *function = find_function(word);
    if (function == nullptr) {
      if (word == "x" || word == "x2" || word == "pi" || word == "e")
        return fail_at("'" + word + "' is no function; write " + word + "*(...) to multiply", start);
      return fail_at("Unknown function '" + word + "' in the formula", start);
    }
    ++at_;  // '('
    int args[3] = {-1, -1, -1};
    int count = 0;
    skip_blanks();
    if (at_ < text_.size() && text_[at_] == ')') {
      ++at_;
    } else {
      for (;;) {
        const int a = comparison();
        if (a < 0) return -1;
        if (count < 3) args[count] = a;
        ++count;
        if (take(",")) continue;
        if (take(")")) break;
        skip_blanks();
        return at_ >= text_.size() ? fail_at("Unmatched '(' in the formula", start + word.size())
                                   : fail("Expected ',' or ')' in the formula");
      }
    }
    if (count != function->arguments)
      return fail_at("The function '" + word + "' takes " + std::to_string(function->arguments) +
                         (function->arguments == 1 ? " argument" : " arguments") + ", not " +
                         std::to_string(count),
                     start);
    return op(function->code, args[0], args[1], args[2]);
  }

  const std::string &text_;
  int max_;
  Formula *f_;
  size_t at_ = 0;
  int nesting_ = 0;
};

// ---------------------------------------------------------------------------
// The formula as parsed, for -describe and the reports: operators spaced,
// and the grouping of ^, unary minus, division and comparisons written out.

int precedence(const Node &n) {
  switch (n.code) {
    case kFormulaLeaf: return 6;
    case kFormulaPow: return 5;
    case kFormulaNeg: return 4;
    case kFormulaMul:
    case kFormulaDiv: return 3;
    case kFormulaAdd:
    case kFormulaSub: return 2;
    default: return operator_text(n.code) != nullptr ? 1 : 6;  // comparisons; calls
  }
}

std::string show(const std::vector<Node> &nodes, int i) {
  const Node &n = nodes[i];
  if (n.code == kFormulaLeaf) return n.text;
  auto grouped = [&](int child, bool paren) {
    const std::string s = show(nodes, child);
    return paren ? "(" + s + ")" : s;
  };
  if (n.code == kFormulaNeg) {
    const int a = n.args[0];
    return "-" + grouped(a, precedence(nodes[a]) < 6);
  }
  if (const char *symbol = operator_text(n.code)) {
    const int a = n.args[0], b = n.args[1];
    const int p = precedence(n), pa = precedence(nodes[a]), pb = precedence(nodes[b]);
    bool left, right;
    if (n.code == kFormulaPow) {
      left = pa < 6;
      right = pb < 6;
    } else if (p == 3) {
      left = pa < 3 || (pa == 3 && (n.code == kFormulaDiv || nodes[a].code == kFormulaDiv));
      right = pb <= 3;
    } else if (p == 2) {
      left = pa < 2;
      right = pb <= 2;
    } else {
      left = pa <= 1;
      right = pb <= 1;
    }
    return grouped(a, left) + " " + symbol + " " + grouped(b, right);
  }
  std::string call;
  for (const Function &f : kFunctions)
    if (f.code == n.code && (n.code != kFormulaPow)) call = f.name;
  call += "(";
  for (int k = 0; k < n.count; ++k) call += (k > 0 ? ", " : "") + show(nodes, n.args[k]);
  return call + ")";
}

// ---------------------------------------------------------------------------
// Constant folding and the postfix program.

bool is_constant(const Node &n) { return n.code == kFormulaLeaf && n.operand == kOperandConstant; }

// Folds every instruction whose arguments are all constants into a constant,
// computed as the evaluator would compute it.
void fold(std::vector<Node> &nodes, int i) {
  Node &n = nodes[i];
  if (n.code == kFormulaLeaf) return;
  bool constant = true;
  for (int k = 0; k < n.count; ++k) {
    fold(nodes, n.args[k]);
    constant = constant && is_constant(nodes[n.args[k]]);
  }
  if (!constant) return;
  TavfitFormulaOp code[4];
  int count = 0;
  for (int k = 0; k < n.count; ++k)
    code[count++] = {kFormulaLeaf, kOperandConstant, nodes[n.args[k]].value};
  code[count++] = {n.code, kOperandStack, 0.0};
  const double value = formula_value<double>(code, count, 0.0, 0.0, nullptr);
  Node folded;
  folded.value = value;
  folded.text = n.text;
  nodes[i] = folded;
}

// Writes the tree out as postfix code.  An operand that is a leaf, or a
// part free of parameters, is read in place by the instruction that takes it
// (the part computed in doubles first, kFormulaDouble), so that a number
// type with derivatives meets x only as a double, as in the built-in models:
// the same operations in the same order, and no derivatives carried that
// are zero.
class Emitter {
 public:
  explicit Emitter(const std::vector<Node> &nodes) : nodes_(nodes), free_(nodes.size(), false) {
    for (size_t i = 0; i < nodes.size(); ++i) mark_free(static_cast<int>(i));
  }

  void emit(int i) {
    const Node &n = nodes_[i];
    if (n.code == kFormulaLeaf) {
      push({kFormulaLeaf, n.operand, n.value}, 1);
      return;
    }
    if (free_[i] && !inDouble_) {  // a part free of parameters, as a value
      emit_double(i);
      push({kFormulaLeaf, kOperandPending, 0.0}, 0);
      return;
    }
    if (formula_eval::is_binary(n.code)) {
      const int a = n.args[0], b = n.args[1];
      const bool pow = n.code == kFormulaPow;
      if (!inDouble_ && free_[a] && !free_[b]) {
        // The left operand read in place: a + b and a * b are b + a and b * a
        // to the bit; the others have instructions of their own.
        emit(b);
        operand(pow ? kFormulaConstPow
                    : n.code == kFormulaSub ? kFormulaSubFrom
                    : n.code == kFormulaDiv ? kFormulaDivInto
                                            : n.code,
                a);
        return;
      }
      if (free_[b] && (!inDouble_ || nodes_[b].code == kFormulaLeaf)) {
        emit(a);
        operand(n.code, b);
        return;
      }
      if (!pow && nodes_[a].code == kFormulaLeaf) {  // a parameter
        emit(b);
        operand(n.code == kFormulaSub ? kFormulaSubFrom
                : n.code == kFormulaDiv ? kFormulaDivInto
                                        : n.code,
                a);
        return;
      }
      if (nodes_[b].code == kFormulaLeaf) {
        emit(a);
        operand(n.code, b);
        return;
      }
    }
    for (int k = 0; k < n.count; ++k) emit(n.args[k]);
    push({n.code, kOperandStack, 0.0}, 1 - n.count);
  }

  std::vector<TavfitFormulaOp> code;
  int depth = 0, most = 0;

 private:
  bool mark_free(int i) {
    const Node &n = nodes_[i];
    bool free = n.code != kFormulaLeaf || n.operand < kOperandParameter;
    for (int k = 0; k < n.count; ++k) free = mark_free(n.args[k]) && free;
    free_[i] = free;
    return free;
  }

  // Node i, a leaf or a part free of parameters, as the operand of code.
  void operand(int code, int i) {
    const Node &n = nodes_[i];
    if (n.code == kFormulaLeaf) {
      push({code, n.operand, n.value}, 0);
      return;
    }
    emit_double(i);
    push({code, kOperandPending, 0.0}, -1);
  }

  // The part i, free of parameters, after its marker.  Its depth is counted
  // as the stack of a double evaluation holds it.
  void emit_double(int i) {
    const size_t at = code.size();
    push({kFormulaDouble, 0, 0.0}, 0);
    inDouble_ = true;
    emit(i);
    inDouble_ = false;
    code[at].operand = static_cast<int>(code.size() - at - 1);
  }

  void push(TavfitFormulaOp op, int change) {
    code.push_back(op);
    depth += change;
    most = std::max(most, depth);
  }

  const std::vector<Node> &nodes_;
  std::vector<bool> free_;
  bool inDouble_ = false;
};

}  // namespace

bool parse_formula(const std::string &text, int maxParameters, Formula *formula,
                   FormulaFault *fault) {
  Formula f;
  f.text = text;
  Parser parser(text, maxParameters, &f);
  const int root = parser.parse();
  if (root < 0) {
    *fault = parser.fault;
    return false;
  }
  std::vector<Node> nodes = parser.nodes;
  f.shown = show(nodes, root);
  if (f.parameters.empty()) {
    *fault = {"The formula has no parameter to fit", 0};
    return false;
  }
  fold(nodes, root);
  Emitter emitter(nodes);
  emitter.emit(root);
  if (emitter.most > kFormulaStack) {
    *fault = {"The formula nests too deeply: more than " + std::to_string(kFormulaStack) +
                  " values pending at once",
              0};
    return false;
  }
  f.code = std::move(emitter.code);
  for (TavfitFormulaOp op : f.code) {
    if (op.code == kFormulaDouble) continue;
    if (op.operand == kOperandPending) {
      if (op.code == kFormulaLeaf) continue;  // the part's value is on the stack
      op.operand = kOperandStack;
    }
    f.plain.push_back(op);
  }
  f.depth = emitter.most;
  *formula = std::move(f);
  return true;
}

}  // namespace tavfit
