// Output files: written whole or not at all, which paths name the same file,
// a standard output whose failures are reported instead of lost, and the
// signals that end a run.
#include "program.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct FileId {
  bool exists;
  bool regular;
  dev_t device;
  ino_t inode;
};

FileId file_id(const char *path) {
  struct stat info;
  if (stat(path, &info) != 0) return {false, false, 0, 0};
  return {true, S_ISREG(info.st_mode) != 0, info.st_dev, info.st_ino};
}

bool same_id(const FileId &a, const FileId &b) {
  return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

std::string parent_of(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a name ends at after its symbolic links, also when the last link
// dangles (fopen would create the file it points to, and so does a write
// here).  A name of anything but a regular file is kept as it is: the links
// of /dev/stdout and /proc/self/fd lead to pipes that have no name to
// resolve.  A loop of links gives up and returns the name itself.
std::string resolve_links(const std::string &path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return path;
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string resolved = real;
    std::free(real);
    return resolved;
  }
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return at;
    std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX), '\0');
    const ssize_t length = readlink(at.c_str(), &target[0], target.size());
    if (length < 0) return at;
    target.resize(static_cast<size_t>(length));
    at = target[0] == '/' ? target : parent_of(at) + "/" + target;
  }
  return path;
}

// A name that does not exist yet, as its canonical folder and base name, so
// that "r.txt" and "./r.txt" compare equal before either is written.
std::string canonical_new_name(const std::string &path) {
  const std::string resolved = resolve_links(path);
  char *dir = realpath(parent_of(resolved).c_str(), nullptr);
  if (dir == nullptr) return resolved;
  std::string name = std::string(dir) + "/" + base_of(resolved);
  std::free(dir);
  return name;
}

// Two names of one regular file, or of one file not written yet.
bool same_regular_file(const std::string &a, const std::string &b) {
  const FileId idA = file_id(a.c_str());
  const FileId idB = file_id(b.c_str());
  if (!idA.exists || !idB.exists)
    return !idA.exists && !idB.exists && canonical_new_name(a) == canonical_new_name(b);
  return idA.regular && same_id(idA, idB);
}

// ---------------------------------------------------------------------------
// Temporary files, removed when a signal ends the run.  The handler may run
// at any moment, so it only reads slots that hold a whole name or nothing.

constexpr int kTempSlots = 16;
std::atomic<const char *> tempSlots[kTempSlots];

void remember_temp(const char *path) {
  for (std::atomic<const char *> &slot : tempSlots) {
    const char *empty = nullptr;
    if (slot.compare_exchange_strong(empty, path)) return;
  }
}

void forget_temp(const char *path) {
  for (std::atomic<const char *> &slot : tempSlots) {
    const char *held = path;
    if (slot.compare_exchange_strong(held, nullptr)) return;
  }
}

void end_by_signal(int sig) {
  // A handler leaves errno as it found it: the signal raised below stays
  // blocked until this one returns.
  const int savedErrno = errno;
  for (std::atomic<const char *> &slot : tempSlots) {
    const char *path = slot.load();
    if (path != nullptr) unlink(path);
  }
  // The default action ends the process with the signal's own status.
  signal(sig, SIG_DFL);
  raise(sig);
  errno = savedErrno;
}

// The mode a new file gets from open(..., 0666).
mode_t new_file_mode() {
  static const mode_t mode = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

bool stdoutClosed = false;

void check_stdout_at_exit() {
  // Buffered output is written only now, so this is where a full disk, a
  // closed descriptor or a broken file shows.  The close is checked too.
  const bool failed = std::ferror(stdout) != 0;
  const bool closeFailed = std::fclose(stdout) != 0;
  stdoutClosed = true;
  if (closeFailed || failed) {
    std::fputs("Unable to write standard output.\n", stderr);
    // A JSON result already written as "ok" must not outlive the failure.
    run_fatal_hooks("Unable to write standard output.");
    _exit(1);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// OutputFile

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const std::string &path) {
  discard();
  if (is_stdout_file(path.c_str())) {
    // Replacing that file would lose what the run printed before, and a
    // second open would write over it: append through the same description.
    std::fflush(stdout);
    inPlace_ = true;
    target_ = writePath_ = path;
    fd_ = dup(STDOUT_FILENO);
    return fd_ >= 0;
  }
  target_ = resolve_links(path);
  struct stat info;
  const bool exists = stat(target_.c_str(), &info) == 0;
  // A link left unresolved leads to a pipe, a socket or a deleted file
  // (/dev/stdout, /proc/self/fd/N): it is written through, never replaced.
  struct stat link;
  const bool unresolved = lstat(target_.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  if ((exists && !S_ISREG(info.st_mode)) || unresolved) {
    // A device or a FIFO: there is nothing to replace, and a reader at the
    // other end expects the text where it is.
    inPlace_ = true;
    writePath_ = target_;
    fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    return fd_ >= 0;
  }
  inPlace_ = false;
  writePath_ = parent_of(target_) + "/.tavfit-XXXXXX";
  fd_ = make_temp_file(writePath_);
  if (fd_ < 0) return false;
  // The new file takes the place of the old one with its permissions (and
  // owner, where that may be given), or those of a file open() creates.
  if (exists) {
    if (fchown(fd_, info.st_uid, info.st_gid) != 0) {
      // Only a privileged run can give a file away; the mode still holds.
    }
    fchmod(fd_, info.st_mode & 07777);
  } else {
    fchmod(fd_, new_file_mode());
  }
  return true;
}

bool OutputFile::commit() {
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  bool ok = close(fd) == 0 && !failed_;
  if (!inPlace_) {
    // Only a regular file or a new name is ever replaced: a device, a FIFO or
    // a link found here (put there since open, say) is refused, not renamed over.
    struct stat info;
    ok = ok && (lstat(target_.c_str(), &info) != 0 || S_ISREG(info.st_mode)) &&
         rename(writePath_.c_str(), target_.c_str()) == 0;
    if (!ok) unlink(writePath_.c_str());
    forget_temp(writePath_.c_str());
  }
  return ok;
}

void OutputFile::discard() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  if (!inPlace_) {
    unlink(writePath_.c_str());
    forget_temp(writePath_.c_str());
  }
}

bool OutputFile::write(const std::string &text) {
  size_t done = 0;
  while (done < text.size() && !failed_) {
    const ssize_t wrote = ::write(fd_, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) failed_ = true;
    else done += static_cast<size_t>(wrote);
  }
  return !failed_;
}

bool write_all(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

bool read_file_text(const char *path, std::string *text) {
  text->clear();
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    text->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return ok;
}

bool write_whole_file(const std::string &path, const std::string &text) {
  OutputFile file;
  return file.open(path) && file.write(text) && file.commit();
}

bool can_write_output(const std::string &path) {
  if (is_stdout_file(path.c_str())) return true;
  const std::string target = resolve_links(path);
  struct stat info;
  if (stat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return false;
    // Opening a FIFO here would hand its reader an end of file; asking is enough.
    if (access(target.c_str(), W_OK) != 0) return false;
    if (!S_ISREG(info.st_mode)) return true;
  }
  // The new file is made beside the target and renamed over it.
  std::string probe = parent_of(target) + "/.tavfit-XXXXXX";
  const int fd = make_temp_file(probe);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  forget_temp_file(probe.c_str());
  return true;
}

// ---------------------------------------------------------------------------

bool standard_output_closed() { return stdoutClosed; }

bool replaceable_file(const std::string &path) {
  if (is_stdout_file(path.c_str())) return false;
  struct stat info;
  return stat(resolve_links(path).c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

bool same_output_file(const std::string &a, const std::string &b) {
  return same_regular_file(a, b);
}

bool is_stdout_file(const char *path) {
  struct stat out;
  if (fstat(STDOUT_FILENO, &out) != 0) return false;
  const FileId id = file_id(path);
  return id.exists && id.device == out.st_dev && id.inode == out.st_ino;
}

void check_output_names(const std::string &data, const std::vector<std::string> &outputs,
                        const std::vector<std::string> &written) {
  // Also when the data file is where standard output goes: an output there
  // would be written over the data.
  for (const std::string &name : outputs)
    if (!name.empty() && !data.empty() && same_regular_file(data, name))
      fatal_fmt("Output file '%s' is the data file.", name.c_str());
  for (size_t a = 0; a < written.size(); ++a) {
    for (size_t b = a + 1; b < written.size(); ++b) {
      if (written[a].empty() || written[b].empty() || !same_regular_file(written[a], written[b]))
        continue;
      // Outputs that name the file standard output writes to all go through
      // it, one after the other, so that case loses nothing.
      if (is_stdout_file(written[a].c_str())) continue;
      fatal_fmt("Two output options name the same file '%s'.", written[b].c_str());
    }
  }
}

void guard_standard_output() {
  // A closed descriptor 0, 1 or 2 would be handed to the next file opened,
  // and a report file would then also receive what goes to standard output.
  // Writes to a closed standard output fail as they would on a full disk, so
  // they are reported; a run that prints nothing there is not.
  const char *stand_in[3] = {"/dev/null", "/dev/full", "/dev/null"};
  const int mode[3] = {O_RDONLY, O_WRONLY, O_WRONLY};
  // open() takes the lowest free descriptor, which is fd itself: the lower
  // ones are open by now.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (::open(stand_in[fd], mode[fd]) < 0 && fd == 1) ::open("/dev/null", O_WRONLY);
  }
  std::atexit(check_stdout_at_exit);
  // A reader that goes away (a pipe into head) is a failed write, reported
  // at exit like any other, not a silent death by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = end_by_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

int make_temp_file(std::string &path) {
  // Named before it exists, so that a signal between its making and its
  // naming cannot leave it behind: mkostemp fills in the very characters the
  // handler would read.
  remember_temp(path.c_str());
  const int fd = mkostemp(&path[0], O_CLOEXEC);
  if (fd < 0) forget_temp(path.c_str());
  return fd;
}

void forget_temp_file(const char *path) { forget_temp(path); }
