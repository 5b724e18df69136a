// Listing copier: lists one directory, copies each readable regular file into
// a numbered file of the output folder and answers with the listing.
//
// Files are streamed with copy_file_range (plain reads and writes through one
// fixed buffer where the kernel cannot), so memory stays bounded whatever the
// sizes. Each copy is written under a temporary name of its own and renamed
// onto its number only once the whole file passed, so a failed entry leaves
// every existing file, an older copy of the same number included, as it was.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "folder/ops.h"

namespace vorn::folder {

namespace {

constexpr size_t kCopyBufferSize = 256 * 1024;
// Largest single copy_file_range request; the kernel caps it anyway.
constexpr uint64_t kCopyChunk = 1ull << 30;

// What became of one entry of the walk.
struct Outcome {
  enum Kind {
    kCopied,        // `bytes` copied into the next numbered copy
    kFailed,        // the entry is unreadable for `word`
    kOverBudget,    // the shared budget cannot take it: the listing is refused
    kCopyFailed,    // writing the copy failed: the operation fails with `word`
  } kind;
  std::string_view word;
  uint64_t bytes = 0;
};

Outcome failed(std::string_view word) { return {Outcome::kFailed, word}; }
Outcome failed(const Error& error) { return {Outcome::kFailed, dom_error_name(error)}; }

// The checks a file's type must pass, both before and after it is opened.
std::optional<Outcome> check_type(mode_t mode) {
  if (S_ISDIR(mode)) return failed("IsDirectory");
  if (!S_ISREG(mode)) return failed("NotAFile");
  return std::nullopt;
}

// Reads at most `limit` bytes from `in` and writes them to `out`; stops early
// at end of file. Read failures and write failures are told apart because
// they mean different things to the listing (an unreadable entry versus a
// broken output folder).
struct StreamResult {
  uint64_t copied = 0;
  std::optional<Error> read_error;
  std::optional<Error> write_error;
};

class Streamer {
 public:
  StreamResult stream(int in, int out, uint64_t limit) {
    StreamResult result;
    bool use_kernel = kernel_copy_;
    while (result.copied < limit && use_kernel) {
      ssize_t n = copy_file_range(in, nullptr, out, nullptr,
                                  std::min<uint64_t>(limit - result.copied, kCopyChunk), 0);
      if (n < 0) {
        int saved = errno;
        if (saved == EINTR) continue;
        // Not supported here (or a real failure): plain reads and writes go on
        // from the same offsets and tell read failures from write failures.
        if (saved == ENOSYS || saved == EOPNOTSUPP || saved == EXDEV || saved == EINVAL) {
          kernel_copy_ = false;
        }
        use_kernel = false;
        break;
      }
      if (n == 0) {
        use_kernel = false;  // end of file, or a file system that copies nothing: let read decide
        break;
      }
      result.copied += static_cast<uint64_t>(n);
    }
    while (result.copied < limit) {
      if (!buffer_) buffer_ = std::make_unique<char[]>(kCopyBufferSize);
      size_t want = static_cast<size_t>(std::min<uint64_t>(limit - result.copied, kCopyBufferSize));
      ssize_t n = read(in, buffer_.get(), want);
      if (n < 0) {
        int saved = errno;
        if (saved == EINTR) continue;
        result.read_error = Error::from_errno(saved);
        return result;
      }
      if (n == 0) return result;
      size_t done = 0;
      while (done < static_cast<size_t>(n)) {
        ssize_t w = write(out, buffer_.get() + done, static_cast<size_t>(n) - done);
        if (w < 0) {
          int saved = errno;
          if (saved == EINTR) continue;
          result.write_error = Error::from_errno(saved);
          return result;
        }
        if (w == 0) {
          result.write_error = Error::make(ErrorKind::kWriteZero, "failed to write whole buffer");
          return result;
        }
        done += static_cast<size_t>(w);
      }
      result.copied += static_cast<uint64_t>(n);
    }
    return result;
  }

 private:
  bool kernel_copy_ = true;
  std::unique_ptr<char[]> buffer_;
};

// Whether one more byte can be read: the file grew past the size taken.
Result<bool> has_more(int in) {
  char byte;
  while (true) {
    ssize_t n = read(in, &byte, 1);
    if (n >= 0) return n > 0;
    int saved = errno;
    if (saved != EINTR) return fail_errno(saved);
  }
}

class ListingCopier {
 public:
  ListingCopier(int dir, const DirSpec& spec, const std::string& output, uint64_t* budget)
      : dir_(dir), spec_(spec), output_path_(output), budget_(budget) {}

  // Rules applied to the entry at `position`; the first that applies decides.
  Outcome examine(const ListingEntry& entry, size_t position, const std::string& copy_name) {
    if (position >= LISTING_ENTRY_LIMIT) return failed("TooManyEntries");
    if (total_ >= LISTING_BYTE_LIMIT) return failed("ListingTooLarge");

    // The entry's own status: a link is refused here, never looked through.
    Result<std::optional<struct stat>> status = symlink_status(dir_, entry.raw);
    if (!status) return failed(status.error());
    if (!*status) return failed(Error::from_errno(ENOENT));
    const struct stat& st = **status;
    if (S_ISLNK(st.st_mode)) return failed("Symlink");
    if (auto bad = check_type(st.st_mode)) return *bad;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > spec_.max_bytes) return failed("TooLarge");
    if (budget_ != nullptr && size > *budget_) return {Outcome::kOverBudget, {}};
    if (total_ + size > LISTING_BYTE_LIMIT) return failed("ListingTooLarge");

    // O_NOFOLLOW: a link swapped in since the probe is refused, never read
    // through. O_NONBLOCK: a FIFO swapped in does not hang the open.
    UniqueFd in(openat(dir_, entry.raw.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in) {
      int saved = errno;
      return failed(saved == ELOOP ? std::string_view("Symlink") : dom_error_name(Error::from_errno(saved)));
    }
    struct stat opened;
    if (fstat(in.get(), &opened) != 0) return failed(Error::from_errno(errno));
    if (auto bad = check_type(opened.st_mode)) return *bad;

    return copy(in.get(), size, copy_name);
  }

  uint64_t total() const { return total_; }

 private:
  // Streams up to size + 1 bytes into a new temporary file and applies the
  // rules on what was read. Only a copy that passes is renamed onto its
  // number; any other is removed, and it was nobody's but ours.
  Outcome copy(int in, uint64_t size, const std::string& copy_name) {
    if (!output_) output_.reset(open(output_path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!output_) return {Outcome::kCopyFailed, dom_error_name(Error::from_errno(errno))};
    Result<std::string> token = random_token();
    if (!token) return {Outcome::kCopyFailed, dom_error_name(token.error())};
    std::string temp = temp_name(copy_name, *token);
    UniqueFd out(
        openat(output_.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!out) return {Outcome::kCopyFailed, dom_error_name(Error::from_errno(errno))};

    StreamResult streamed = streamer_.stream(in, out.get(), size);
    uint64_t read_bytes = streamed.copied;
    std::optional<Outcome> outcome;
    if (streamed.write_error) {
      outcome = Outcome{Outcome::kCopyFailed, dom_error_name(*streamed.write_error)};
    } else if (streamed.read_error) {
      outcome = failed(*streamed.read_error);
    } else if (read_bytes == size) {
      Result<bool> more = has_more(in);
      if (!more) {
        outcome = failed(more.error());
      } else if (*more) {
        read_bytes += 1;
      }
    }
    if (!outcome) {
      if (read_bytes > spec_.max_bytes) {
        outcome = failed("TooLarge");
      } else if (read_bytes > size) {
        outcome = failed("Changed");
      } else if (budget_ != nullptr && read_bytes > *budget_) {
        outcome = Outcome{Outcome::kOverBudget, {}};
      } else if (total_ + read_bytes > LISTING_BYTE_LIMIT) {
        outcome = failed("ListingTooLarge");
      }
    }
    if (!outcome) {
      Status closed = out.close();
      if (closed && renameat(output_.get(), temp.c_str(), output_.get(), copy_name.c_str()) != 0) {
        closed = fail_errno(errno);
      }
      if (!closed) outcome = Outcome{Outcome::kCopyFailed, dom_error_name(closed.error())};
    }
    if (outcome) {
      out.reset();
      (void)unlinkat(output_.get(), temp.c_str(), 0);
      return *outcome;
    }
    if (budget_ != nullptr) *budget_ -= read_bytes;
    total_ += read_bytes;
    return {Outcome::kCopied, {}, read_bytes};
  }

  int dir_;
  const DirSpec& spec_;
  const std::string& output_path_;
  UniqueFd output_;  // opened at the first copy
  uint64_t* budget_;
  uint64_t total_ = 0;
  Streamer streamer_;
};

bool is_own_file_failure(std::string_view word) {
  return word != "Symlink" && word != "IsDirectory" && word != "NotAFile" && word != "TooLarge";
}

}  // namespace

std::vector<ListingEntry> filter_by_suffix(std::vector<ListingEntry> entries, const DirSpec& spec) {
  if (!spec.suffix || spec.suffix->empty()) return entries;
  std::string_view suffix = *spec.suffix;
  std::erase_if(entries, [&](const ListingEntry& entry) { return !entry.name.ends_with(suffix); });
  return entries;
}

Json name_copy_objects(const std::vector<CopiedFile>& files) {
  Json objects = Json::array();
  for (const CopiedFile& file : files) objects.push_back({{"copy", file.copy}, {"name", file.name}});
  return objects;
}

OpResult copy_listing(const Place& place, const DirSpec& spec, const std::string& output,
                      uint64_t* budget) {
  UniqueFd dir;
  if (Stop stop = open_listed_dir(place, dir)) return *stop;
  std::vector<ListingEntry> listed;
  if (dir) {
    Result<std::vector<ListingEntry>> read = list_dir(dir.get());
    if (!read) return std::unexpected(dom_error_name(read.error()));
    listed = std::move(*read);
  }
  std::vector<ListingEntry> entries = filter_by_suffix(std::move(listed), spec);
  std::stable_sort(entries.begin(), entries.end(), [](const ListingEntry& a, const ListingEntry& b) {
    return utf16_less(a.name, b.name);
  });
  if (spec.mine) {
    auto own = std::find_if(entries.begin(), entries.end(),
                            [&](const ListingEntry& entry) { return entry.name == *spec.mine; });
    if (own != entries.end()) std::rotate(entries.begin(), own, own + 1);
  }

  ListingCopier copier(dir.get(), spec, output, budget);
  std::vector<CopiedFile> copied;
  Json unreadable = Json::array();
  for (size_t position = 0; position < entries.size(); ++position) {
    const ListingEntry& entry = entries[position];
    std::string copy_name = std::to_string(copied.size());
    Outcome outcome = copier.examine(entry, position, copy_name);
    switch (outcome.kind) {
      case Outcome::kCopied:
        copied.push_back(CopiedFile{entry.name, std::move(copy_name)});
        break;
      case Outcome::kOverBudget:
        return make_refusal("too-large");
      case Outcome::kCopyFailed:
        return std::unexpected(outcome.word);
      case Outcome::kFailed:
        if (spec.mine && entry.name == *spec.mine && is_own_file_failure(outcome.word)) {
          return make_refusal("own-file-unreadable", outcome.word);
        }
        if (unreadable.size() < UNREADABLE_LIMIT) {
          unreadable.push_back({{"name", entry.name}, {"reason", outcome.word}});
        }
        break;
    }
  }
  std::stable_sort(copied.begin(), copied.end(),
                   [](const CopiedFile& a, const CopiedFile& b) { return utf16_less(a.name, b.name); });
  return Json{{"entries", name_copy_objects(copied)}, {"reachable", true}, {"unreadable", unreadable}};
}

}  // namespace vorn::folder
