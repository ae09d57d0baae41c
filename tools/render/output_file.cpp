#include "tools/render/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
constexpr int maxLinks = 40;  // as the kernel allows in one lookup
constexpr char partialSuffix[] = ".partial";

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows the links of the last component as open() would; a relative link
// leads from the link's own folder. Folders on the way are the kernel's to
// resolve. False only for a loop.
bool followLinks(const std::string& path, std::string& target) {
  target = path;
  for (int n = 0; n < maxLinks; ++n) {
    struct stat status {};
    if (lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return true;
    std::vector<char> content(PATH_MAX);
    const ssize_t length = readlink(target.c_str(), content.data(), content.size());
    if (length <= 0 || static_cast<size_t>(length) >= content.size()) return true;  // open() will say why
    const std::string next(content.data(), static_cast<size_t>(length));
    target = next[0] == '/' ? next : folderOf(target) + next;
  }
  return false;
}

mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}
}  // namespace

std::string outputTarget(const std::string& path) {
  std::string target;
  followLinks(path, target);
  // "a.wav", "./a.wav" and "/here/a.wav" name one file; a folder that does
  // not exist cannot be written, and is left as spelled.
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return target;
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string place = resolved;
  return (place == "/" ? place : place + "/") + name;
}

bool openOutputFile(OutputFile& file, const std::string& path, std::string& reason) {
  file = OutputFile{};
  file.path = path;
  if (!followLinks(path, file.target)) {
    reason = std::strerror(ELOOP);
    return false;
  }
  struct stat status {};
  const bool exists = stat(file.target.c_str(), &status) == 0;
  if (exists && S_ISDIR(status.st_mode)) {
    reason = std::strerror(EISDIR);
    return false;
  }
  if (exists && !S_ISREG(status.st_mode)) {
    reason = "not a regular file";
    return false;
  }
  // A fresh name: an existing file, a partial file of a render running beside
  // this one or one a crash left are never written into.
  std::string pattern = file.target + ".XXXXXX" + partialSuffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int descriptor = mkstemps(name.data(), sizeof partialSuffix - 1);
  if (descriptor < 0) {
    reason = std::strerror(errno);
    return false;
  }
  // The finished file gets the mode of the one it replaces, or a new file's.
  fchmod(descriptor, exists ? status.st_mode & 07777 : newFileMode());
  file.partialPath = name.data();
  file.descriptor = descriptor;
  return true;
}

void closeOutputDescriptor(OutputFile& file) {
  if (file.descriptor >= 0) close(file.descriptor);
  file.descriptor = -1;
}

bool commitOutputFile(OutputFile& file, std::string& reason) {
  // Some file systems report a failed write only when the file is closed.
  if (file.descriptor >= 0 && close(file.descriptor) != 0) {
    file.descriptor = -1;
    reason = std::strerror(errno);
    discardOutputFile(file);
    return false;
  }
  file.descriptor = -1;
  if (std::rename(file.partialPath.c_str(), file.target.c_str()) != 0) {
    reason = std::strerror(errno);
    discardOutputFile(file);
    return false;
  }
  file.partialPath.clear();
  return true;
}

void discardOutputFile(OutputFile& file) {
  closeOutputDescriptor(file);
  if (!file.partialPath.empty()) unlink(file.partialPath.c_str());
  file.partialPath.clear();
}
