#pragma once
// CoAbstractFileScanner walks a directory tree, passes every entry through a
// chain of filters and hands the accepted ones to a subclass's scanFile().
// CoFileScanner (CoFileScanner.h) is the subclass that collects them.
//
// The registered variable QV_CO_FILE_SCANNER_DEBUG (two variables of that
// name) traces the filter decisions and the directories walked.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/base/fileUtil/CoFilePath.h"

namespace Kestrix {

class CoAbstractFileScanner {
 public:
  enum MatchType : int32_t {
    MATCH_EXCLUDE = 0,  // drop what matches, keep the rest
    MATCH_INCLUDE = 1   // keep only what matches
  };

  struct Options {
    Options(int32_t depth = 0, bool includeHidden = false, bool followLinks = false,
            bool includeStart = false)
        : depth(depth),
          includeHidden(includeHidden),
          followLinks(followLinks),
          includeStart(includeStart) {}

    // Directory levels entered below the start; 0 lists the start only.
    int32_t depth;
    // Names starting with "." are skipped unless set; "." and ".." always.
    bool includeHidden;
    // Not used by the walk: links are followed like what they name.
    bool followLinks;
    // Each directory walked is itself offered before its contents.
    bool includeStart;
  };

  class Filter {
   public:
    virtual ~Filter() = default;
    // True keeps the entry.
    virtual bool filter(const CoFilePath& path) const = 0;
    virtual Filter* clone() const = 0;
  };

  // By extension (without its dot, any letter case). Directories are kept.
  class ExtensionFilter : public Filter {
   public:
    ExtensionFilter(const char* extension, MatchType matchType);
    ExtensionFilter(const char** extensions, size_t count, MatchType matchType);
    ExtensionFilter(std::vector<std::string> extensions, MatchType matchType);
    bool filter(const CoFilePath& path) const override;
    Filter* clone() const override { return new ExtensionFilter(*this); }

   private:
    std::vector<std::string> extensions_;
    MatchType matchType_;
  };

  // By type: files, directories, or what cannot be examined.
  class TypeFilter : public Filter {
   public:
    TypeFilter(CoFilePath::Type type, MatchType matchType) : type_(type), matchType_(matchType) {}
    bool filter(const CoFilePath& path) const override;
    Filter* clone() const override { return new TypeFilter(*this); }

   private:
    CoFilePath::Type type_;
    MatchType matchType_;
  };

  CoAbstractFileScanner() = default;
  CoAbstractFileScanner(const CoAbstractFileScanner&) = delete;
  CoAbstractFileScanner& operator=(const CoAbstractFileScanner&) = delete;
  virtual ~CoAbstractFileScanner();

  // Appends a copy of filter to the chain.
  void addFilter(const Filter& filter);

  // Throws CoException "Invalid path" when a directory cannot be listed and
  // "Cannot read directory." when reading a listing fails.
  virtual void scan(const CoFilePath& directory, const Options& options);

 protected:
  // Each accepted entry, with the start directory and its path relative to it.
  virtual void scanFile(const CoFilePath& path, const CoFilePath& start,
                        const CoFilePath& relative) = 0;
  // True ends the walk early.
  virtual bool checkAbort() { return false; }

  // True when a filter of the chain rejects path.
  bool filterSkipFile(const CoFilePath& path) const;

 private:
  void scanDir(const CoFilePath& directory, const CoFilePath& start, const CoFilePath& relative,
               const Options& options);
  static bool filterDebug();
  static bool scanDebug();

  std::vector<std::unique_ptr<Filter>> filters_;
};

}  // namespace Kestrix
