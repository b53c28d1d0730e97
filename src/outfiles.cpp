// Output files: which paths name the same file, and a standard output whose
// failures are reported instead of lost.
#include "tavfit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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

// Two names of one regular file; a name that does not exist yet matches
// only itself, spelt the same.
bool same_regular_file(const std::string &a, const std::string &b) {
  const FileId idA = file_id(a.c_str());
  const FileId idB = file_id(b.c_str());
  if (!idA.exists || !idB.exists) return !idA.exists && !idB.exists && a == b;
  return idA.regular && same_id(idA, idB);
}

void check_stdout_at_exit() {
  // Buffered output is written only now, so this is where a full disk, a
  // closed descriptor or a broken file shows.  The close is checked too.
  const bool failed = std::ferror(stdout) != 0;
  if (std::fclose(stdout) != 0 || failed) {
    std::fputs("Unable to write standard output.\n", stderr);
    // A JSON result already written as "ok" must not outlive the failure.
    run_fatal_hooks("Unable to write standard output.");
    _exit(1);
  }
}

}  // namespace

bool is_stdout_file(const char *path) {
  struct stat out;
  if (fstat(STDOUT_FILENO, &out) != 0) return false;
  const FileId id = file_id(path);
  return id.exists && id.device == out.st_dev && id.inode == out.st_ino;
}

void check_output_names(const std::string &data, const std::vector<std::string> &outputs,
                        const std::vector<std::string> &written) {
  for (const std::string &name : outputs)
    if (!name.empty() && !data.empty() && same_regular_file(data, name) &&
        !is_stdout_file(name.c_str()))
      fatal_fmt("Output file '%s' is the data file.", name.c_str());
  for (size_t a = 0; a < written.size(); ++a) {
    for (size_t b = a + 1; b < written.size(); ++b) {
      if (written[a].empty() || written[b].empty() || !same_regular_file(written[a], written[b]))
        continue;
      // Both reports go through standard output when they name its file, one
      // after the other, so that case loses nothing.
      if (b == 1 && is_stdout_file(written[a].c_str())) continue;
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
    if (open(stand_in[fd], mode[fd]) < 0 && fd == 1) open("/dev/null", O_WRONLY);
  }
  std::atexit(check_stdout_at_exit);
}
