#pragma once

#include <utility>

namespace tolvo {

// Owns a C handle and releases it with `Release` when destroyed. Moves transfer ownership.
//   using Statement = Handle<sqlite3_stmt, sqlite3_finalize>;
template <typename T, auto Release>
class Handle {
 public:
  Handle() noexcept = default;
  explicit Handle(T* pointer) noexcept : pointer_(pointer) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.pointer_, nullptr));
    return *this;
  }
  ~Handle() { reset(); }

  void reset(T* pointer = nullptr) noexcept {
    if (pointer_ != nullptr) Release(pointer_);
    pointer_ = pointer;
  }
  [[nodiscard]] T* release() noexcept { return std::exchange(pointer_, nullptr); }
  [[nodiscard]] T* get() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }

 private:
  T* pointer_ = nullptr;
};

// A file descriptor closed on destruction.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~FileDescriptor() { reset(); }

  void reset(int fd = -1) noexcept;
  // Closes the descriptor and reports close(2)'s result (0 or an errno value).
  [[nodiscard]] int close() noexcept;
  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace tolvo
