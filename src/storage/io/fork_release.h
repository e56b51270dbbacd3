#pragma once
// Descriptors that a child process made by fork() must not keep.
//
// A writer's lock is an flock on its store directory's descriptor, and a
// forked child inherits that descriptor: the lock would then stay held
// after the parent closed its writer, for as long as the child lives (a
// worker of a fork-started pool lives long). A registered descriptor is
// replaced in the child, during the fork, by one open on /dev/null, so
// that the number stays owned and open but holds the lock no more.

namespace quillmark {

// Registers one descriptor for the life of this value. Move-only.
class ForkReleased {
 public:
  ForkReleased() = default;
  explicit ForkReleased(int fd);
  ForkReleased(ForkReleased&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ForkReleased& operator=(ForkReleased&& other) noexcept;
  ForkReleased(const ForkReleased&) = delete;
  ForkReleased& operator=(const ForkReleased&) = delete;
  // Unregisters; REQUIRES: the descriptor is still open (destroy this value
  // before the descriptor is closed).
  ~ForkReleased();

 private:
  int fd_ = -1;
};

}  // namespace quillmark
