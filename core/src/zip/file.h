// Files as the ZIP layer uses them: a buffered output file that can patch
// bytes it wrote before and cut itself back, and an input file read at
// offsets. Failures carry the operating system's description alone; the
// caller adds what it was doing.
#ifndef QUARLEN_ZIP_FILE_H_
#define QUARLEN_ZIP_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quarlen/error.h"

namespace quarlen::zip {

inline constexpr size_t kWriteBufferSize = 8192;

// "{strerror text} (os error {err})".
std::string os_description(int err);

// The system calls through which an OutputFile changes its file. Tests put
// calls in their place that fail on demand; everything else uses the system's.
struct FileCalls {
  ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
  int (*ftruncate)(int fd, off_t length);
  int (*close)(int fd);
};

// The system's own calls.
const FileCalls& system_file_calls();

// A file being written through one kWriteBufferSize buffer. position() is the
// logical end of the file: flushed bytes plus buffered ones. Move-only; the
// destructor flushes and closes, ignoring failures, when close() was not
// called.
class OutputFile {
 public:
  // Creates or truncates the file at the path (raw bytes), mode 0666 less
  // the umask, without waiting for a named pipe's reader (a pipe without one
  // fails). `calls` must outlive the file.
  static Result<OutputFile> create(const std::string& path,
                                   const FileCalls& calls = system_file_calls());

  OutputFile(OutputFile&& other) noexcept;
  ~OutputFile();

  bool is_open() const noexcept { return fd_ >= 0; }
  uint64_t position() const noexcept { return flushed_ + used_; }

  // Appends bytes. On failure part of them may have been taken.
  Result<void> write(std::string_view bytes);

  // In-place appending, for producers that write straight into the buffer:
  // fill up to spare() bytes at tail(), then commit() what was filled.
  // spare() is 0 when the buffer is full; flush() makes room.
  char* tail() noexcept { return buffer_.get() + used_; }
  size_t spare() const noexcept { return kWriteBufferSize - used_; }
  void commit(size_t n) noexcept;

  // Overwrites bytes written before, whether they were flushed or are
  // still buffered. REQUIRES: offset + bytes.size() <= position().
  Result<void> write_at(uint64_t offset, std::string_view bytes);

  // Cuts the file back to offset, dropping everything after it; writing
  // then continues there. REQUIRES: offset <= position(). On failure the
  // logical end still moves back, and close() cuts the file again.
  Result<void> truncate(uint64_t offset);

  // Writes out the buffer. On failure the bytes not written stay buffered.
  Result<void> flush();

  // Flushes and closes; the file is closed even when flushing fails.
  // REQUIRES: is_open().
  Result<void> close();

 private:
  OutputFile(int fd, const FileCalls* calls) noexcept;
  Result<void> write_fully(uint64_t offset, const char* data, size_t size);
  void close_quietly() noexcept;

  int fd_ = -1;
  const FileCalls* calls_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;         // bytes in buffer_
  uint64_t flushed_ = 0;    // file offset of buffer_[0]
  bool cut_pending_ = false;  // a truncate() failed; close() retries it
};

// A file opened read-only, read at offsets. Move-only; closes on destruction.
class InputFile {
 public:
  // Opens a regular file, without waiting on anything else: a named pipe, a
  // device or a directory fails at once with "not a regular file".
  static Result<InputFile> open(const std::string& path);

  InputFile(InputFile&& other) noexcept;
  ~InputFile();

  // The length of the file when it was opened.
  uint64_t size() const noexcept { return size_; }

  // Reads exactly size bytes at offset; a file that ends before fails with
  // "unexpected end of file".
  Result<void> read_at(uint64_t offset, char* out, size_t size) const;

 private:
  InputFile(int fd, uint64_t size) noexcept : fd_(fd), size_(size) {}

  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_FILE_H_
