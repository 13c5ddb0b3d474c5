#pragma once
// CoFilePath is the library's value type for a file-system path: it holds
// the text, builds paths from pieces, splits them into directory, base name
// and extension, and queries or changes the object the path names.
//
// Both '/' and '\\' separate components when a path is read; the library
// itself writes '/'. Failed system calls throw CoException whose what() is
// the system's error text; the path is left as it was.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Kestrix {

class CoFilePath {
 public:
  enum Type : int32_t { TYPE_FILE = 0, TYPE_DIRECTORY = 1, TYPE_UNKNOWN = 2 };

  // createDir options.
  enum CreateDirOption : int {
    CREATE_DIR_PARENTS = 1,     // create missing parent directories first
    CREATE_DIR_EXISTING_OK = 2  // an existing directory is not an error
  };
  // removeFile options.
  enum RemoveFileOption : int {
    REMOVE_FILE_MISSING_OK = 1  // a missing file is not an error
  };

  // Modes per class of user; in each, 1 read, 2 write, 4 execute. A
  // directory may be entered wherever it may be read.
  class Permissions {
   public:
    Permissions() : user_(3), group_(1), other_(1) {}
    Permissions(int user, int group, int other) : user_(user), group_(group), other_(other) {}
    int userMode() const { return user_; }
    int groupMode() const { return group_; }
    int otherMode() const { return other_; }

   private:
    int32_t user_;
    int32_t group_;
    int32_t other_;
  };

  // The first non-empty piece, with each later non-empty piece joined on.
  CoFilePath(const char* a = nullptr, const char* b = nullptr, const char* c = nullptr);
  CoFilePath(const std::string& path);
  CoFilePath(std::string&& path);
  CoFilePath(const CoFilePath& other);
  CoFilePath(CoFilePath&& other) noexcept;
  CoFilePath& operator=(const CoFilePath& other);
  CoFilePath& operator=(CoFilePath&& other) noexcept;
  virtual ~CoFilePath();

  void setPath(const std::string& path);
  // Appends text as it is, without a separator.
  CoFilePath& operator+=(const char* text);

  bool operator==(const CoFilePath& o) const { return path_ == o.path_; }
  bool operator!=(const CoFilePath& o) const { return path_ != o.path_; }
  bool operator<(const CoFilePath& o) const { return path_ < o.path_; }
  bool operator<=(const CoFilePath& o) const { return path_ <= o.path_; }
  bool operator>(const CoFilePath& o) const { return path_ > o.path_; }
  bool operator>=(const CoFilePath& o) const { return path_ >= o.path_; }

  const char* path() const { return path_.c_str(); }
  const std::string& getPath() const { return path_; }

  // Composition.
  // Joins text with exactly one separator between. A length of 0 means the
  // text's own length; the text is always appended up to its terminator.
  CoFilePath& concatenate(const char* text, size_t length = 0);
  CoFilePath& concatenate(const std::string& text) { return concatenate(text.c_str()); }
  CoFilePath& appendExtension(const char* ext);
  // Inserts text between the name and the extension.
  CoFilePath& appendToBase(const char* text);
  CoFilePath& pruneExtension();
  void concatenateAll() const {}
  CoFilePath& convertToNativePath() { return *this; }

  // Decomposition.
  // The extension without its dot ("" when none); "x.tar.pxz" gives "tar.pxz".
  const char* extension() const;
  std::string baseName() const;
  std::string name() const;
  std::string directoryName() const;
  bool isAbsolute() const;
  static const char* invalidChars() { return "*?,;<>"; }
  bool pathContainsInvalidChars() const;
  static bool isPathSeparator(char c) { return c == '/' || c == '\\'; }
  static char pathSeparator() { return '/'; }

  // Collapses runs of separators and "." components into one '/'.
  CoFilePath& clean();
  // Replaces each "$NAME" component start by the environment's value, then
  // cleans; an undefined name throws.
  CoFilePath& expand();

  // HOME, else tempDir().
  static CoFilePath homeDir();
  // TMP, else TEMP; then on Posix systems TMPDIR, else "/tmp", and on
  // Windows, which has neither, the empty path.
  static CoFilePath tempDir();
  static CoFilePath rootDir() { return CoFilePath("/"); }

  // Queries of the file system.
  bool isFile() const { return getType() == TYPE_FILE; }
  bool isDirectory() const { return getType() == TYPE_DIRECTORY; }
  bool exists() const { return access(0); }
  // Mode bit 1 asks for read, bit 2 for write, 0 for existence. Missing or
  // denied is false; any other failure throws.
  bool access(int mode) const;
  // In bytes; a file of 2 GiB or more throws, since no 32-bit count holds it.
  int32_t size() const;
  int64_t lastModified() const;
  bool isSymLink() const { return false; }
  CoFilePath realPath() const;
  // Sets the path to the process's working directory.
  CoFilePath& currentWorkingDir();
  Permissions getPermissions() const;
  void chown(int user, int group);
  void chown(const char* user, const char* group);
  int64_t getAvailSpaceMB() const;
  void createLink(const CoFilePath& target, bool symbolic);
  bool changeToRealOwner() { return false; }

  // Changes to the file system.
  void createDir(const Permissions& permissions = Permissions(), int options = 0);
  void createFile(const Permissions& permissions = Permissions(), bool truncate = false);
  void chmod(const Permissions& permissions);
  void removeFile(int options = 0);
  void removeDir();
  void renameTo(const CoFilePath& target);
  void moveFile(const CoFilePath& target) { renameTo(target); }

 protected:
  // Every change of the text goes through here: the caches no longer hold.
  void resetCaches() {
    extension_ = nullptr;
    type_ = TYPE_UNKNOWN;
  }

 private:
  Type getType() const;

  std::string path_;
  mutable const char* extension_ = nullptr;
  mutable Type type_ = TYPE_UNKNOWN;
};

}  // namespace Kestrix
