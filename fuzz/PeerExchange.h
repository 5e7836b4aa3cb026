#pragma once

// A peer's end of a socket pair for the connection targets: the serving code runs on a thread of
// its own at the other end while the input is sent and everything that comes back is read.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "fuzz/FuzzCheck.h"

namespace quillmere::fuzzing {

// Serves each input's connection on one thread that lives as long as the process: starting a
// thread per input would cost more than serving it. One job at a time.
class ServingThread {
 public:
  ServingThread() : thread_{[this] { run(); }} {}
  ServingThread(const ServingThread&) = delete;
  ServingThread& operator=(const ServingThread&) = delete;
  ~ServingThread() {
    {
      const std::lock_guard lock{mutex_};
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // Hands `job` over and returns at once.
  void start(std::function<void()> job) {
    {
      const std::lock_guard lock{mutex_};
      job_ = std::move(job);
    }
    changed_.notify_all();
  }

  // Waits until the job has run to its end.
  void finish() {
    std::unique_lock lock{mutex_};
    changed_.wait(lock, [this] { return !job_; });
  }

 private:
  void run() {
    std::unique_lock lock{mutex_};
    while (true) {
      changed_.wait(lock, [this] { return job_ || stopping_; });
      if (!job_) {
        return;
      }
      const std::function<void()> job = job_;
      lock.unlock();
      job();
      lock.lock();
      job_ = nullptr;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool stopping_ = false;
  std::thread thread_;  // last, so that it starts once the rest is ready
};

// Writes `input` to `socket` and shuts its sending side, while reading everything that comes
// back until the other end closes. Stops writing when the other end stops reading. When
// receiving ended in an error (a reset: the other end closed with input unread), `endError`
// gets its errno, else 0.
inline std::string exchange(int socket, std::string_view input, int* endError = nullptr) {
  require(::fcntl(socket, F_SETFL, O_NONBLOCK) == 0, "non-blocking socket");
  std::string received;
  bool sending = true;
  if (input.empty()) {
    ::shutdown(socket, SHUT_WR);
    sending = false;
  }
  while (true) {
    pollfd waiter{socket, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    require(::poll(&waiter, 1, -1) >= 0 || errno == EINTR, "poll");
    if (sending && (waiter.revents & (POLLOUT | POLLERR)) != 0) {
      const ssize_t sent = ::send(socket, input.data(), input.size(), MSG_NOSIGNAL);
      if (sent >= 0) {
        input.remove_prefix(static_cast<std::size_t>(sent));
      }
      if ((sent < 0 && errno != EAGAIN && errno != EINTR) || input.empty()) {
        ::shutdown(socket, SHUT_WR);
        sending = false;
      }
    }
    std::array<char, 65536> chunk;
    const ssize_t got = ::recv(socket, chunk.data(), chunk.size(), 0);
    if (got > 0) {
      received.append(chunk.data(), static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      if (endError != nullptr) {
        *endError = got == 0 ? 0 : errno;
      }
      return received;
    }
  }
}

}  // namespace quillmere::fuzzing
