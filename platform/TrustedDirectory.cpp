#include "platform/TrustedDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace quillmere::platform {
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
