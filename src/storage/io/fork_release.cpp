#include "storage/io/fork_release.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace quillmark {

namespace {

// The registry. The mutex is held across fork() (prepare to parent/child),
// so the child sees a consistent list and an unlocked mutex.
std::mutex& registry_mutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<int>& registry() {
  static std::vector<int> fds;  // guarded by registry_mutex()
  return fds;
}

void before_fork() { registry_mutex().lock(); }
void after_fork_in_parent() { registry_mutex().unlock(); }
void after_fork_in_child() {
  // Only async-signal-safe calls here: open, dup3, close.
  for (int fd : registry()) {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0) continue;
    ::dup3(null, fd, O_CLOEXEC);
    ::close(null);
  }
  registry_mutex().unlock();
}

void install_handlers() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
}

void unregister(int fd) {
  if (fd < 0) return;
  std::lock_guard lock(registry_mutex());
  auto& fds = registry();
  if (auto it = std::find(fds.begin(), fds.end(), fd); it != fds.end()) fds.erase(it);
}

}  // namespace

ForkReleased::ForkReleased(int fd) : fd_(fd) {
  install_handlers();
  std::lock_guard lock(registry_mutex());
  registry().push_back(fd);  // may throw std::bad_alloc: nothing registered then
}

ForkReleased& ForkReleased::operator=(ForkReleased&& other) noexcept {
  if (this != &other) {
    unregister(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

ForkReleased::~ForkReleased() { unregister(fd_); }

}  // namespace quillmark
