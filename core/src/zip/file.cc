#include "zip/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace quarlen::zip {
namespace {

constexpr char kNulInPath[] = "file name contained an unexpected NUL byte";
constexpr char kShortWrite[] = "failed to write whole buffer";
constexpr char kShortRead[] = "unexpected end of file";
constexpr char kNotRegular[] = "not a regular file";

// One read or write call moves at most this much; Linux caps a call a little
// below 2 GiB anyway.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// strerror_r comes in two shapes; both end up as a text here.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

Error os_error(int err) { return Error(os_description(err)); }

// Opens without waiting: a named pipe without a peer would hold open() until
// one came, deaf to Ctrl-C, since an interrupted open is retried. The
// descriptor then blocks again, as regular files and devices ignore the flag.
int open_at_once(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fd;
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

std::string os_description(int err) {
  char buffer[256] = "";
  std::string out = error_text(strerror_r(err, buffer, sizeof buffer), buffer);
  out += " (os error ";
  out += std::to_string(err);
  out += ')';
  return out;
}

const FileCalls& system_file_calls() {
  static const FileCalls calls = {::pwrite, ::ftruncate, ::close};
  return calls;
}

// OutputFile

Result<OutputFile> OutputFile::create(const std::string& path, const FileCalls& calls) {
  if (path.find('\0') != std::string::npos) return Error(kNulInPath);
  const int fd = open_at_once(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return os_error(errno);
  return OutputFile(fd, &calls);
}

OutputFile::OutputFile(int fd, const FileCalls* calls) noexcept
    : fd_(fd), calls_(calls), buffer_(new char[kWriteBufferSize]) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      calls_(other.calls_),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)),
      flushed_(std::exchange(other.flushed_, 0)),
      cut_pending_(std::exchange(other.cut_pending_, false)) {}

OutputFile::~OutputFile() { close_quietly(); }

void OutputFile::close_quietly() noexcept {
  if (fd_ < 0) return;
  // Ignoring any potential errors: whoever cares calls close().
  (void)close();
}

Result<void> OutputFile::write_fully(uint64_t offset, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = calls_->pwrite(fd_, data, std::min(size, kMaxTransfer),
                               static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return Error(kShortWrite);
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return {};
}

Result<void> OutputFile::flush() {
  assert(is_open());
  size_t done = 0;
  Result<void> result;
  while (done < used_) {
    const ssize_t n = calls_->pwrite(fd_, buffer_.get() + done, used_ - done,
                               static_cast<off_t>(flushed_ + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      result = os_error(errno);
      break;
    }
    if (n == 0) {
      result = Error(kShortWrite);
      break;
    }
    done += static_cast<size_t>(n);
  }
  // Whatever reached the file leaves the buffer; the rest waits for a retry.
  std::memmove(buffer_.get(), buffer_.get() + done, used_ - done);
  used_ -= done;
  flushed_ += done;
  return result;
}

Result<void> OutputFile::write(std::string_view bytes) {
  assert(is_open());
  if (bytes.size() <= spare()) {
    std::memcpy(tail(), bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
  }
  if (auto r = flush(); !r) return r;
  if (bytes.size() < kWriteBufferSize) {
    std::memcpy(tail(), bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
  }
  // Too big to be worth buffering: straight to the file.
  if (auto r = write_fully(flushed_, bytes.data(), bytes.size()); !r) return r;
  flushed_ += bytes.size();
  return {};
}

void OutputFile::commit(size_t n) noexcept {
  assert(n <= spare());
  used_ += n;
}

Result<void> OutputFile::write_at(uint64_t offset, std::string_view bytes) {
  assert(is_open());
  assert(offset + bytes.size() <= position());
  // The part below the buffer is already in the file; the rest is patched in
  // the buffer, which keeps it consistent without an early flush.
  if (offset < flushed_) {
    const size_t in_file =
        static_cast<size_t>(std::min<uint64_t>(bytes.size(), flushed_ - offset));
    if (auto r = write_fully(offset, bytes.data(), in_file); !r) return r;
    bytes.remove_prefix(in_file);
    offset += in_file;
  }
  if (!bytes.empty()) {
    std::memcpy(buffer_.get() + (offset - flushed_), bytes.data(), bytes.size());
  }
  return {};
}

Result<void> OutputFile::truncate(uint64_t offset) {
  assert(is_open());
  assert(offset <= position());
  if (offset >= flushed_) {
    used_ = static_cast<size_t>(offset - flushed_);
    return {};
  }
  used_ = 0;
  flushed_ = offset;
  int rc;
  do {
    rc = calls_->ftruncate(fd_, static_cast<off_t>(offset));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    cut_pending_ = true;
    return os_error(errno);
  }
  return {};
}

Result<void> OutputFile::close() {
  assert(is_open());
  Result<void> result = flush();
  if (result && cut_pending_) {
    if (calls_->ftruncate(fd_, static_cast<off_t>(flushed_)) < 0) result = os_error(errno);
  }
  // Linux releases the descriptor even when close reports EINTR, so it is
  // never retried.
  if (calls_->close(std::exchange(fd_, -1)) < 0 && result && errno != EINTR) {
    result = os_error(errno);
  }
  buffer_.reset();
  return result;
}

// InputFile

Result<InputFile> InputFile::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) return Error(kNulInPath);
  const int fd = open_at_once(path, O_RDONLY);
  struct stat st;
  if (fd < 0) {
    const int err = errno;
    // A socket cannot be opened for reading at all, only as a path: it is
    // no regular file either.
    if (err == ENXIO) {
      const int path_fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
      const bool regular = path_fd < 0 || ::fstat(path_fd, &st) < 0 || S_ISREG(st.st_mode);
      if (path_fd >= 0) ::close(path_fd);
      if (!regular) return Error(kNotRegular);
    }
    return os_error(err);
  }
  if (::fstat(fd, &st) < 0) {
    const int err = errno;
    ::close(fd);
    return os_error(err);
  }
  // A pipe, a device or a directory has no fixed length to read at offsets.
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Error(kNotRegular);
  }
  return InputFile(fd, st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)) {}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> InputFile::read_at(uint64_t offset, char* out, size_t size) const {
  assert(fd_ >= 0);
  while (size > 0) {
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
      return Error(kShortRead);
    }
    const ssize_t n =
        ::pread(fd_, out, std::min(size, kMaxTransfer), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return Error(kShortRead);
    out += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return {};
}

}  // namespace quarlen::zip
