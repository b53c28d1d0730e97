// Many curves in one run (-batch): the curves of a table, each fitted as a
// problem of its own by the library's fit on a pool of threads, and written
// to the results file in table order as they are done.
//
// The reader (this thread) cuts the table into curves and hands them out in
// chunks; the workers fit a chunk and format its rows; this thread writes the
// chunks in order and flushes each, so that a killed run loses only the
// curves in flight, and -resume goes on from the file.  No fit touches the
// run state, so every curve's row is the same bytes whatever the number of
// threads.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "methods.h"
#include "program.h"

namespace {

// A set of 64-bit hashes in one array: 16 bytes a curve, to tell whether a
// curve comes back in a table that cannot be read twice.
class HashSet {
 public:
  // False when h was in the set already.
  bool insert(uint64_t h) {
    if (h == 0) h = 1;  // 0 marks an empty slot
    if (2 * (count_ + 1) > slots_.size()) grow();
    size_t k = h & (slots_.size() - 1);
    for (; slots_[k] != 0; k = (k + 1) & (slots_.size() - 1))
      if (slots_[k] == h) return false;
    slots_[k] = h;
    ++count_;
    return true;
  }

 private:
  std::vector<uint64_t> slots_ = std::vector<uint64_t>(1024, 0);
  size_t count_ = 0;
  void grow() {
    std::vector<uint64_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    count_ = 0;
    for (uint64_t h : old)
      if (h != 0) insert(h);
  }
};

uint64_t hash_of(const std::string &text) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a: fixed, unlike std::hash
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

struct Job {
  std::string curve;
  tavfit::Curve data;
  tavfit::FitResult result;  // kept for the plots
};

// A run of consecutive curves, fitted by one worker and written at once.
struct Chunk {
  std::vector<Job> jobs;
  std::string rows;
  int failed = 0;
  bool taken = false;
  bool done = false;
};

// A chunk closes at this many curves or points: enough to make the hand-over
// cheap, few enough that a flush comes often and the threads share the work.
constexpr size_t kChunkCurves = 16;
constexpr size_t kChunkPoints = 16384;

int usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Everything a batch run holds: the options as read, the base problem, the
// output, the pool.
class Batch {
 public:
  Batch();
  int run();

 private:
  tavfit::Problem base_;
  tavfit::Method method_;
  tavfit::Options options_;
  ResultsLayout layout_;
  std::unordered_map<std::string, std::vector<double>> starts_;
  bool haveStarts_ = false;
  std::unordered_set<std::string> written_;  // curve fields of the rows already in the file
  int out_ = -1;
  bool resultsOnStdout_ = false;

  // The pool.
  std::mutex mutex_;
  std::condition_variable work_, finished_;
  std::deque<std::unique_ptr<Chunk>> chunks_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
  size_t maxChunks_ = 4;

  // Counts, for the progress line and the exit status.
  size_t index_ = 0;      // curves of the table met so far
  size_t total_ = 0;      // curves of the table, 0 when not known in advance
  double tableBytes_ = 0;  // of a table that is a file: for the share read so far
  const TableReader *reading_ = nullptr;
  off_t resultsStart_ = 0;  // where this run's rows begin in the results file
  size_t fitted_ = 0, failed_ = 0, skipped_ = 0;
  std::chrono::steady_clock::time_point started_, shown_;
  bool progress_ = false;

  std::unique_ptr<Chunk> chunk_ = std::make_unique<Chunk>();
  size_t chunkPoints_ = 0;

  void read_starts();
  bool same_columns(const std::string &text) const;
  void open_results();
  void start_threads();
  void stop_threads();
  void worker();
  void fit_chunk(Chunk &chunk);
  void add_curve(std::string curve, tavfit::Curve data);
  void submit();
  void write_ready(std::unique_lock<std::mutex> &lock);
  void drain();
  void emit(Chunk &chunk);
  void show_progress(bool last);
  bool stream();
  void restart();
  void group();
};

Batch *running = nullptr;  // for the fatal hook

// A row's point added to its curve: x2 when the table has it, sigma when it
// weighs the fit.
void append_point(const TableRow &row, tavfit::Curve *data) {
  data->x.push_back(row.x);
  data->y.push_back(row.y);
  if (tableColumns.x2.given()) data->x2.push_back(row.x2);
  if (sigmaMode != kSigmaNone) data->sigma.push_back(row.sigma);
}

// A curve's name as a file name: letters, digits, '.', '-' and '_' kept,
// every other byte '_', and never a hidden file.
std::string file_name(const std::string &curve) {
  std::string name;
  for (char c : curve)
    name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ? c : '_';
  if (name.empty() || name[0] == '.') name.insert(0, "_");
  return name + ".svg";
}

// The plot of one fitted curve, drawn as a one-curve run draws its plot: the
// run state is set from the curve and its result (only this thread uses it).
void plot_curve(const std::string &dir, const std::string &curve, const tavfit::Problem &base,
                const tavfit::Curve &data, const tavfit::FitResult &result) {
  if (!result.ok) return;
  dataFname = curve;
  xData = data.x;
  yData = data.y;
  tData = data.x2.empty() ? std::vector<double>(data.x.size(), 0.0) : data.x2;
  sData = data.sigma;
  fxData = result.fitted;
  numData = static_cast<int>(data.x.size());
  numDataCol = data.x2.empty() ? 2 : 3;
  rmse = result.rmse;
  const int P = static_cast<int>(base.start.size());
  std::copy(result.value.begin(), result.value.end(), fitParms);
  std::copy(result.sd.begin(), result.sd.end(), fitStdDev);
  const size_t m = result.free.size();
  for (size_t a = 0; a < m; ++a)
    for (size_t b = 0; b < m; ++b) fitCovar[a][b] = result.covariance[a * m + b];
  for (int k = 0; k < P; ++k) holdConstFlag[k] = base.held[k] ? 1 : 0;
  compute_results();
  write_plot((dir + file_name(curve)).c_str());
}

Batch::Batch() {
  base_ = {run_model(), {}, {}, {}};
  base_.start.assign(fitParms, fitParms + numParms);
  for (int k = 0; k < numParms; ++k) base_.held.push_back(holdConstFlag[k] == 1);
  if (boundsGiven != 0) {
    base_.lower.assign(lowerBound, lowerBound + numParms);
    base_.upper.assign(upperBound, upperBound + numParms);
  }
  base_.curve.absolute_sigma = sigmaMode == kSigmaAbsolute;
  method_ = method_of(fitMethod);
  options_.max_iterations = maxIt;
  results_format(resultsFname, &layout_.format);
  layout_.parameters = base_.model.parameters;
  layout_.sigma = sigmaMode != kSigmaNone;
  layout_.absoluteSigma = sigmaMode == kSigmaAbsolute;
  layout_.bounds = boundsGiven != 0;
  layout_.names = layout_.columns();
}

void Batch::read_starts() {
  if (startsFname.empty()) return;
  haveStarts_ = true;
  read_start_table(startsFname.c_str(), base_.model.parameters, base_.start, &starts_);
}

// Whether the rows already in a results file have this run's columns: its
// header line, or for JSON lines the keys of its first row, in order.
bool Batch::same_columns(const std::string &text) const {
  if (layout_.format != ResultsFormat::kJsonl)
    return text.compare(0, layout_.header().size(), layout_.header()) == 0;
  const std::string first = text.substr(0, text.find('\n'));
  size_t at = 0;
  for (const std::string &name : layout_.names) {
    at = first.find("\"" + name + "\":", at);
    if (at == std::string::npos) return false;
  }
  return true;
}

void Batch::open_results() {
  const char *path = resultsFname.c_str();
  const std::string header = layout_.header();
  bool fresh = true;
  if (resumeBatch) {
    // The rows already written, up to the last whole line: a run killed in
    // the middle of a row leaves part of it, which goes.
    std::string text;
    if (read_file_text(path, &text) && !text.empty()) {
      fresh = false;
      const size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
      if (!same_columns(text))
        fatal_fmt("The results file '%s' holds other columns than this run writes; -resume goes "
                  "on only with the options that began it.",
                  path);
      if (whole < text.size() && truncate(path, static_cast<off_t>(whole)) != 0)
        fatal_fmt("Unable to write output file '%s'.", path);
      std::string field;
      for (size_t at = header.size(); at < whole;) {
        const size_t end = text.find('\n', at);
        if (row_curve_field(layout_, text.substr(at, end - at), &field)) written_.insert(field);
        at = end + 1;
      }
    }
  }
  out_ = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (fresh ? O_TRUNC : O_APPEND), 0666);
  if (out_ < 0) fatal_fmt("Unable to open output file '%s'.", path);
  struct stat results, standard;
  resultsOnStdout_ = fstat(out_, &results) == 0 && fstat(STDOUT_FILENO, &standard) == 0 &&
                     results.st_dev == standard.st_dev && results.st_ino == standard.st_ino;
  if (fresh && !header.empty() && !write_all(out_, header))
    fatal_fmt("Unable to write output file '%s'.", path);
}

void Batch::start_threads() {
  const int n = batchThreads > 0 ? batchThreads : usable_cores();
  maxChunks_ = static_cast<size_t>(2 * n + 2);
  for (int k = 0; k < n; ++k) threads_.emplace_back([this] { worker(); });
}

void Batch::stop_threads() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  work_.notify_all();
  for (std::thread &t : threads_) t.join();
  threads_.clear();
}

void Batch::worker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Chunk *next = nullptr;
    for (auto &chunk : chunks_)
      if (!chunk->taken) {
        next = chunk.get();
        break;
      }
    if (next == nullptr) {
      if (closing_) return;
      work_.wait(lock);
      continue;
    }
    next->taken = true;
    lock.unlock();
    fit_chunk(*next);
    lock.lock();
    next->done = true;
    finished_.notify_one();
  }
}

void Batch::fit_chunk(Chunk &chunk) {
  tavfit::Problem problem = base_;
  for (Job &job : chunk.jobs) {
    problem.curve = std::move(job.data);
    problem.curve.absolute_sigma = base_.curve.absolute_sigma;
    bool started = true;
    if (haveStarts_) {
      const auto found = starts_.find(job.curve);
      started = found != starts_.end() || parmsOption != 0;
      problem.start = found != starts_.end() ? found->second : base_.start;
    }
    tavfit::FitResult &r = job.result;
    if (!started) {
      r.message = "The starts file has no row for this curve.";
    } else if (problem.curve.x.size() < static_cast<size_t>(kMinData)) {
      r.message = format_msg("Error, Min data points is (%d)", kMinData);
    } else {
      r = tavfit::fit(problem, method_, options_);
      if (r.ok && strictCheck && r.check.done && !r.check.at_minimum) {
        r.ok = false;
        r.message = "The answer is not the least-squares fit (see its check).";
      }
    }
    append_results_row(layout_, job.curve, problem, r, &chunk.rows);
    if (!r.ok) ++chunk.failed;
    job.data = std::move(problem.curve);
  }
}

void Batch::add_curve(std::string curve, tavfit::Curve data) {
  const size_t index = index_++;
  if (shardCount > 0 && index % static_cast<size_t>(shardCount) !=
                            static_cast<size_t>(shardIndex - 1))
    return;
  if (!written_.empty() && written_.count(written_curve(layout_, curve)) != 0) {
    ++skipped_;
    return;
  }
  chunkPoints_ += data.x.size();
  chunk_->jobs.push_back({std::move(curve), std::move(data), {}});
  if (chunk_->jobs.size() >= kChunkCurves || chunkPoints_ >= kChunkPoints) submit();
}

void Batch::submit() {
  if (chunk_->jobs.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  chunks_.push_back(std::move(chunk_));
  chunk_ = std::make_unique<Chunk>();
  chunkPoints_ = 0;
  work_.notify_one();
  while (chunks_.size() >= maxChunks_) {
    write_ready(lock);
    if (chunks_.size() >= maxChunks_) finished_.wait(lock);
  }
  write_ready(lock);
}

// Waits for every chunk handed out and writes them all, in order.
void Batch::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!chunks_.empty()) {
    write_ready(lock);
    if (!chunks_.empty()) finished_.wait(lock);
  }
}

// Writes the finished chunks at the front, in order, outside the lock.
void Batch::write_ready(std::unique_lock<std::mutex> &lock) {
  while (!chunks_.empty() && chunks_.front()->done) {
    std::unique_ptr<Chunk> chunk = std::move(chunks_.front());
    chunks_.pop_front();
    lock.unlock();
    emit(*chunk);
    lock.lock();
  }
}

void Batch::emit(Chunk &chunk) {
  if (!write_all(out_, chunk.rows))
    fatal_fmt("Unable to write output file '%s'.", resultsFname.c_str());
  fitted_ += chunk.jobs.size();
  failed_ += static_cast<size_t>(chunk.failed);
  if (!batchPlotDir.empty())
    for (const Job &job : chunk.jobs) plot_curve(batchPlotDir, job.curve, base_, job.data, job.result);
  show_progress(false);
}

void Batch::show_progress(bool last) {
  if (!progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!last && now - shown_ < std::chrono::milliseconds(250)) return;
  shown_ = now;
  const double seconds = std::chrono::duration<double>(now - started_).count();
  const double rate = seconds > 0 ? static_cast<double>(fitted_) / seconds : 0.0;
  // The curves to fit: of the total (known once the table is read, or
  // estimated from the share of the file read), those of this shard and not
  // yet written.
  double total = static_cast<double>(total_);
  if (total == 0 && reading_ != nullptr && tableBytes_ > 0 && reading_->position() > 0)
    total = static_cast<double>(index_) * tableBytes_ / static_cast<double>(reading_->position());
  if (shardCount > 0) total /= shardCount;
  total -= static_cast<double>(skipped_);
  std::string line = format_msg("\r%zu", fitted_);
  if (total >= static_cast<double>(fitted_))
    line += format_msg(total_ > 0 ? " of %.0f" : " of ~%.0f", total);
  line += format_msg(" curves, %.0f curves/s", rate);
  if (total > static_cast<double>(fitted_) && rate > 0) {
    const long left = static_cast<long>((total - static_cast<double>(fitted_)) / rate + 0.5);
    line += format_msg(", %ld:%02ld left", left / 60, left % 60);
  }
  line += "\033[K";
  if (last) line += "\n";
  write_all(STDERR_FILENO, line);
}

// Curves as they come: a curve ends where the next begins.  False when a
// curve comes back after another in a table that is a file, which is then
// read again by group(); from a pipe, that is fatal.
bool Batch::stream() {
  TableReader table;
  if (!table.open(batchFname.c_str(), tableColumns)) exit_failed("unreadable table");
  reading_ = &table;
  HashSet seen;
  TableRow row;
  std::string curve;
  tavfit::Curve data;
  bool any = false;
  while (table.next(&row)) {
    if (!any || row.curve != curve) {
      if (!seen.insert(hash_of(row.curve))) {
        reading_ = nullptr;
        if (tableBytes_ > 0) return false;
        // The rows written so far belong to curves cut short: none stay.
        restart();
        fatal_fmt("Line %d of the table: the rows of curve '%s' are not together. A table read "
                  "from a pipe must keep each curve's rows together; from a file, any order is "
                  "read.",
                  table.line(), row.curve.c_str());
      }
      if (any) add_curve(std::move(curve), std::move(data));
      curve = row.curve;
      data = tavfit::Curve();
      any = true;
    }
    append_point(row, &data);
  }
  if (any) add_curve(std::move(curve), std::move(data));
  reading_ = nullptr;
  return true;
}

// Back to where this run's rows began: what the threads have in hand is
// written, then cut off.
void Batch::restart() {
  chunk_ = std::make_unique<Chunk>();
  chunkPoints_ = 0;
  drain();
  if (ftruncate(out_, resultsStart_) != 0 || lseek(out_, resultsStart_, SEEK_SET) < 0)
    fatal_fmt("Unable to write output file '%s'.", resultsFname.c_str());
  index_ = fitted_ = failed_ = skipped_ = 0;
}

// Curves whose rows are scattered: all of them gathered first, in the order
// of their first rows.
void Batch::group() {
  std::vector<std::pair<std::string, tavfit::Curve>> curves = read_batch_curves();
  total_ = curves.size();
  for (auto &curve : curves) add_curve(std::move(curve.first), std::move(curve.second));
}

int Batch::run() {
  read_starts();
  open_results();
  running = this;
  // A fatal error of the reader ends the run with the rows written so far
  // in place, the threads stopped first.
  add_fatal_hook([](const std::string &) {
    if (running != nullptr) running->stop_threads();
  });
  struct stat info;
  if (stat(batchFname.c_str(), &info) == 0 && S_ISREG(info.st_mode))
    tableBytes_ = static_cast<double>(info.st_size);
  resultsStart_ = lseek(out_, 0, SEEK_END);
  progress_ = isatty(STDERR_FILENO) != 0;
  started_ = shown_ = std::chrono::steady_clock::now();
  start_threads();
  if (!stream()) {
    restart();
    group();
  }
  submit();
  drain();
  stop_threads();
  running = nullptr;
  show_progress(true);
  if (close(out_) != 0) fatal_fmt("Unable to write output file '%s'.", resultsFname.c_str());
  if (failed_ == 0) return 0;
  // Where the results go to standard output, the count goes to standard
  // error, so that it does not end up among the rows.
  const std::string line = format_msg("%zu of %zu curves failed.\n", failed_, fitted_);
  std::fflush(stdout);
  write_all(resultsOnStdout_ ? STDERR_FILENO : STDOUT_FILENO, line);
  return 1;
}

}  // namespace

std::vector<std::pair<std::string, tavfit::Curve>> read_batch_curves() {
  TableReader table;
  if (!table.open(batchFname.c_str(), tableColumns)) exit_failed("unreadable table");
  std::unordered_map<std::string, size_t> index;
  std::vector<std::pair<std::string, tavfit::Curve>> curves;
  for (TableRow row; table.next(&row);) {
    const auto found = index.emplace(row.curve, curves.size());
    if (found.second) curves.emplace_back(row.curve, tavfit::Curve());
    append_point(row, &curves[found.first->second].second);
  }
  return curves;
}

int run_batch() {
  if (!logFname.empty() && !is_stdout_file(logFname.c_str())) write_whole_file(logFname, "");
  numParms = fitParmNum[fitFunc];
  if (tableColumns.sigma.given() && sigmaMode == kSigmaNone)
    show_msg(kWarning,
             "The table's sigma column is not used; -sigma or -sigma-absolute weighs the fit with it.");
  if (!batchPlotDir.empty() && mkdir(batchPlotDir.c_str(), 0777) != 0 && errno != EEXIST)
    fatal_fmt("Unable to make the plot folder '%s'.", batchPlotDir.c_str());
  Batch batch;
  return batch.run();
}
