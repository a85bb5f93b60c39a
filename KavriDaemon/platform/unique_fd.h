#ifndef KAVRI_PLATFORM_UNIQUE_FD_H_
#define KAVRI_PLATFORM_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace kavri {

// Owns one file descriptor and closes it on destruction. -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // close(2) is not retried on EINTR: on Linux the descriptor is gone anyway.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_UNIQUE_FD_H_
