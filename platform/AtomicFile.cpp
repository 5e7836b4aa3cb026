#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <variant>

#include "platform/Randomness.h"
#include "platform/UniqueFd.h"

namespace quillmere::platform {
namespace {

constexpr std::size_t kAuxiliaryNameRandomBytes = 16;

using Step = AtomicWriteFailure::Step;

// Removes the auxiliary file unless it was renamed into place.
class AuxiliaryFileGuard {
 public:
  AuxiliaryFileGuard(int directory, std::string name)
      : directory_(directory), name_(std::move(name)) {}
  AuxiliaryFileGuard(const AuxiliaryFileGuard&) = delete;
  AuxiliaryFileGuard& operator=(const AuxiliaryFileGuard&) = delete;
  ~AuxiliaryFileGuard() {
    if (!placed_) ::unlinkat(directory_, name_.c_str(), 0);
  }
  void placed() { placed_ = true; }

 private:
  int directory_;
  std::string name_;
  bool placed_ = false;
};

int writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t count = ::write(fd, content.data(), content.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    content.remove_prefix(static_cast<std::size_t>(count));
  }
  return 0;
}

// renameat2 with RENAME_NOREPLACE; a file system without it gets link + unlink, which never
// replaces either.
int placeWithoutReplacing(int directory, const std::string& from, const std::string& to) {
  if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) != 0) return errno;
  ::unlinkat(directory, from.c_str(), 0);
  return 0;
}

}  // namespace

std::optional<AtomicWriteFailure> writeFileAtomically(const std::string& directory,
                                                      const std::string& name,
                                                      std::string_view content, mode_t mode) {
  const auto failure = [](Step step, int errorNumber) {
    return std::optional{AtomicWriteFailure{step, errorNumber}};
  };
  const UniqueFd directoryFd{::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
  if (!directoryFd.valid()) return failure(Step::Write, errno);
  auto suffix = randomHexText(kAuxiliaryNameRandomBytes);
  if (const int* error = std::get_if<int>(&suffix)) return failure(Step::Write, *error);
  const std::string auxiliaryName = "." + name + "." + std::get<std::string>(suffix);

  // O_EXCL never follows a link and never opens an existing file; O_NOFOLLOW says so twice.
  UniqueFd file{::openat(directoryFd.get(), auxiliaryName.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (!file.valid()) return failure(Step::Write, errno);
  AuxiliaryFileGuard guard{directoryFd.get(), auxiliaryName};

  if (const int error = writeAll(file.get(), content); error != 0) {
    return failure(Step::Write, error);
  }
  if (::fchmod(file.get(), mode) != 0) return failure(Step::SetMode, errno);
  // close() is where some file systems report a failed write.
  if (::close(file.release()) != 0) return failure(Step::Write, errno);
  if (const int error = placeWithoutReplacing(directoryFd.get(), auxiliaryName, name); error != 0) {
    return failure(Step::Write, error);
  }
  guard.placed();
  return std::nullopt;
}

}  // namespace quillmere::platform
