#include "platform/Files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/Randomness.h"
#include "platform/UniqueFd.h"

namespace quillmere::platform {
namespace {

constexpr std::size_t kAuxiliaryNameRandomBytes = 16;

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

// renameat2 with RENAME_NOREPLACE; a file system without it gets link + unlink, which never
// replaces either.
Result<void> placeWithoutReplacing(int directory, const std::string& from, const std::string& to) {
  if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return lastError("write");
  if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) != 0) return lastError("write");
  ::unlinkat(directory, from.c_str(), 0);
  return {};
}

}  // namespace

Result<void> writeWhole(int fd, std::string_view bytes) {
  std::string_view pieces[] = {bytes};
  return writeWhole(fd, pieces);
}

Result<void> writeWhole(int fd, std::span<std::string_view> pieces) {
  constexpr std::size_t kMostPieces = 8;
  while (!pieces.empty()) {
    if (pieces.front().empty()) {
      pieces = pieces.subspan(1);
      continue;
    }
    std::array<iovec, kMostPieces> vector{};
    const std::size_t count = std::min(pieces.size(), kMostPieces);
    for (std::size_t index = 0; index < count; ++index) {
      // writev only reads the pieces.
      vector[index] = {const_cast<char*>(pieces[index].data()), pieces[index].size()};
    }
    const ssize_t written = ::writev(fd, vector.data(), static_cast<int>(count));
    if (written < 0) {
      if (errno == EINTR) continue;
      return lastError("write");
    }
    // Drop what went out; a piece written in part keeps its rest.
    for (auto left = static_cast<std::size_t>(written); left > 0;) {
      const std::size_t taken = std::min(left, pieces.front().size());
      pieces.front().remove_prefix(taken);
      left -= taken;
      if (pieces.front().empty()) pieces = pieces.subspan(1);
    }
  }
  return {};
}

Result<void> writeFileAtomically(const std::string& directory, const std::string& name,
                                 std::string_view content, mode_t mode) {
  const UniqueFd directoryFd{::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
  if (!directoryFd.valid()) return lastError("write");
  auto suffix = randomHexText(kAuxiliaryNameRandomBytes);
  if (!suffix) return SystemError{suffix.error().number, "write"};
  const std::string auxiliaryName = "." + name + "." + *suffix;

  // O_EXCL never follows a link and never opens an existing file; O_NOFOLLOW says so twice.
  UniqueFd file{::openat(directoryFd.get(), auxiliaryName.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (!file.valid()) return lastError("write");
  AuxiliaryFileGuard guard{directoryFd.get(), auxiliaryName};

  if (auto written = writeWhole(file.get(), content); !written) return written;
  if (::fchmod(file.get(), mode) != 0) return lastError(std::string{setModeStep});
  // close() is where some file systems report a failed write.
  if (::close(file.release()) != 0) return lastError("write");
  if (auto placed = placeWithoutReplacing(directoryFd.get(), auxiliaryName, name); !placed) {
    return placed;
  }
  guard.placed();
  return {};
}

Result<void> removeFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return lastError("unlink");
  return {};
}

bool pathExists(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return false;
  }
  struct stat status {};
  return ::stat(std::string{path}.c_str(), &status) == 0;
}

namespace {

std::optional<std::string> resolved(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real{::realpath(path.c_str(), nullptr),
                                                         &std::free};
  if (!real) return std::nullopt;
  return std::string{real.get()};
}

std::optional<std::string> untrustedEntryReason(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
    return path + " belongs to uid " + std::to_string(status.st_uid);
  }
  const bool othersMayWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (othersMayWrite && (status.st_mode & S_ISVTX) == 0) {
    return path + " is writable by other users and not sticky";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> untrustedDirectoryReason(const std::string& directory) {
  const auto real = resolved(directory);
  if (!real) return std::nullopt;
  // From the root down, since a directory others may change can swap everything below it.
  if (auto reason = untrustedEntryReason("/")) return reason;
  for (std::size_t start = 1; start < real->size();) {
    std::size_t slash = real->find('/', start);
    if (slash == std::string::npos) slash = real->size();
    if (auto reason = untrustedEntryReason(real->substr(0, slash))) return reason;
    start = slash + 1;
  }
  return std::nullopt;
}

}  // namespace quillmere::platform
