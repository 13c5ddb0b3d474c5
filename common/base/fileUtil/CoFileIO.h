#pragma once
// CoFileIO is a CoFilePath that also owns an open standard stream for that
// path: open, read, write, seek and close take one call each, and every
// stream error becomes a CoException with the system's error text. Reaching
// the end of the file early is not an error; the count read says so.
//
// CoFileIO::Preallocator picks and applies a way of reserving disk space
// ahead of writing, by file system.

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/base/fileUtil/CoFilePath.h"

namespace Kestrix {

class CoFileIO : public CoFilePath {
 public:
  class Preallocator {
   public:
    enum Method : int32_t {
      METHOD_INVALID = -1,
      METHOD_NONE = 0,
      METHOD_FALLOCATE = 1,
      METHOD_RESERVE = 2,
      METHOD_F_PREALLOCATE = 3
    };
    enum FileSystem : int32_t {
      FS_UNKNOWN = -1,
      FS_GENERIC = 0,
      FS_XFS = 1,
      FS_HFS = 2,
      FS_NFS = 3,
      FS_SMB = 4,
      FS_APFS = 5
    };

    Preallocator(Method method = METHOD_NONE, FileSystem fileSystem = FS_GENERIC)
        : method_(method), fileSystem_(fileSystem) {}
    // The file system of path, and the best method it supports.
    explicit Preallocator(const CoFilePath& path);

    Method getMethod() const { return method_; }
    void setMethod(Method method) { method_ = method; }
    void setMethod(const char* text) { method_ = getMethodFromStr(text); }
    FileSystem getFileSystem() const { return fileSystem_; }
    void setFileSystem(FileSystem fileSystem) { fileSystem_ = fileSystem; }
    void setFileSystem(const char* text) { fileSystem_ = getFileSystemFromStr(text); }

    const char* getMethodStr() const { return getMethodStr(method_); }
    const char* getFileSystemStr() const { return getFileSystemStr(fileSystem_); }
    static const char* getMethodStr(Method method);
    static const char* getFileSystemStr(FileSystem fileSystem);
    // Case-insensitive; an unknown name warns and gives -1.
    static Method getMethodFromStr(const char* text);
    static FileSystem getFileSystemFromStr(const char* text);

    bool isSupported() const { return isSupported(method_, fileSystem_); }
    static bool isSupported(Method method, FileSystem fileSystem);

    // FS_UNKNOWN when the system cannot tell. A path that does not exist yet
    // is looked up by its directory.
    static FileSystem findFileSystem(const CoFilePath& path);
    static FileSystem findFileSystem(FILE* stream);

    // Reserves size bytes from offset; throws when the method is not
    // supported on the file system or the reservation fails.
    void preallocate(FILE* stream, uint64_t offset, uint64_t size) const;

   private:
    using PreallocateFunct = bool (*)(FILE* stream, uint64_t offset, uint64_t size,
                                      std::string& error);
    static PreallocateFunct getPreallocateFunct(Method method, FileSystem fileSystem);

    Method method_;
    FileSystem fileSystem_;
  };

  CoFileIO(const char* a = nullptr, const char* b = nullptr, const char* c = nullptr);
  CoFileIO(const std::string& path);
  CoFileIO(const CoFilePath& path);
  CoFileIO(CoFileIO&& other) noexcept;
  CoFileIO& operator=(CoFileIO&& other) noexcept;
  CoFileIO(const CoFileIO&) = delete;
  CoFileIO& operator=(const CoFileIO&) = delete;
  ~CoFileIO() override;

  // Standard stream modes ("r", "w", "w+", ...). Throws with the expert text
  // "Could not open "<path>" (flags:<mode>)".
  void openFile(const char* mode);
  // Forgets the stream in every case; an error that shows only at closing
  // (buffered bytes that cannot be written) throws with the expert text
  // "Could not close "<path>"". Every other way of closing (destruction,
  // setPath, reopening) posts it as a warning instead.
  void closeFile();

  // Whole items read; fewer at end of file.
  size_t read(void* buffer, size_t itemSize, size_t count);
  size_t write(const void* buffer, size_t itemSize, size_t count);
  size_t write(const std::string& text) { return write(text.data(), 1, text.size()); }
  size_t putStr(const char* text);
  int print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int getChar();
  void putChar(int c);
  void seek(uint64_t offset);
  void flushFile();
  bool isEOF() const;

  FILE* filePtr() const { return file_; }
  // Adopts a stream this object will never close; the path becomes empty.
  void setFilePtr(FILE* stream);
  void setPath(const char* path);
  void setPath(const CoFilePath& path);

  // The whole file as text; the stream is closed again in every case.
  std::string openAndReadASCIIFile();

  // Not available on this system: they only check that a stream is open.
  void lock();
  void unlock();

  // Opens the path with "w+" when no stream is open, then reserves space.
  void preallocate(uint64_t offset, uint64_t size, Preallocator& preallocator);

 protected:
  // openFile without throwing: 0, or the system error number.
  int _openFile(const char* mode);

 private:
  // A stream must be open; after a failed site check this still throws
  // rather than hand a null stream to the C library.
  void requireFile() const;
  // 0, or the error number of closing an owned stream.
  int closeStream() noexcept;
  void closeQuietly() noexcept;

  FILE* file_ = nullptr;
  bool owned_ = false;
};

}  // namespace Kestrix
