// The deleted-open files of a scan: a list packed to 48 bytes a file, its
// builder, and the totals the verdict and the findings count from it.
#ifndef BRIMFUL_DELETED_OPEN_H
#define BRIMFUL_DELETED_OPEN_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os.h"

namespace brimful {

// One descriptor through which a process holds a deleted file. The name is
// a view: a list of deleted-open files stores each process's name once and
// its holders point at it.
struct Holder {
  std::uint32_t pid = 0;
  std::string_view process;
  std::int32_t fd = 0;
};

// A deleted-open file in full, as it is added to a list; the list copies
// what it needs, so the holders' names need live only until it is built.
struct DeletedOpenEntry {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  OsPath path;
  std::uint64_t allocated_bytes = 0;
  std::vector<Holder> holders;
};

// Steps through anything that hands out values by position.
template <typename List, typename Value>
class PositionIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = Value;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = Value;

  PositionIterator(const List* list, std::size_t at) : list_(list), at_(at) {}
  Value operator*() const { return (*list_)[at_]; }
  PositionIterator& operator++() {
    ++at_;
    return *this;
  }
  bool operator==(const PositionIterator& other) const { return at_ == other.at_; }
  bool operator!=(const PositionIterator& other) const { return at_ != other.at_; }

 private:
  const List* list_;
  std::size_t at_;
};

class DeletedOpenFiles;

// One file's holders in the order they were met, viewing the list.
class HolderList {
 public:
  HolderList() = default;
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  Holder operator[](std::size_t i) const;
  Holder front() const { return (*this)[0]; }
  PositionIterator<HolderList, Holder> begin() const { return {this, 0}; }
  PositionIterator<HolderList, Holder> end() const { return {this, count_}; }

 private:
  friend class DeletedOpenFiles;
  const DeletedOpenFiles* files_ = nullptr;
  std::size_t file_ = 0;
  std::size_t more_ = 0;  // where the holders after the first begin
  std::size_t count_ = 0;
};

// One deleted-open file as the list shows it; the path and the holders view
// the list and live as long as it does, unchanged.
struct DeletedOpenFile {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string_view path;  // bytes, as the link text gave them
  std::uint64_t allocated_bytes = 0;
  HolderList holders;
};

// The deleted-open files of a scan, in the list's order. A host may hold
// hundreds of thousands of them, so each is kept in 48 bytes besides its
// path: the paths packed in large blocks, the device as a place in a table
// (a scan finds files on one device), the first holder beside the file (most
// files have only one), and each process's name once, however many files
// the process holds.
class DeletedOpenFiles {
 public:
  class Builder;

  DeletedOpenFiles() = default;
  DeletedOpenFiles(std::initializer_list<DeletedOpenEntry> entries);
  explicit DeletedOpenFiles(const std::vector<DeletedOpenEntry>& entries);

  std::size_t size() const { return files_.size(); }
  bool empty() const { return files_.empty(); }
  DeletedOpenFile operator[](std::size_t i) const;
  PositionIterator<DeletedOpenFiles, DeletedOpenFile> begin() const { return {this, 0}; }
  PositionIterator<DeletedOpenFiles, DeletedOpenFile> end() const { return {this, files_.size()}; }

  // For each file, whether it is the first in the list with its (device,
  // inode): a list built by hand may name one file twice.
  std::vector<bool> first_of_each_file() const;

 private:
  friend class HolderList;

  struct StoredHolder {
    std::uint32_t pid = 0;
    std::int32_t fd = 0;
    std::uint32_t name = 0;
  };
  struct StoredFile {
    std::uint64_t inode = 0;
    std::uint64_t allocated_bytes = 0;
    std::uint64_t path_at = 0;  // the block in the upper half, the offset in the lower
    std::uint32_t path_size = 0;
    std::uint32_t device = 0;
    StoredHolder first;
    std::uint32_t holder_count = 0;
  };
  // Where the holders after the first of a file with several begin.
  struct MoreHolders {
    std::uint32_t file = 0;
    std::uint32_t first = 0;
  };

  // A deque grows without copying what it holds, so a list of many files is
  // never held twice while it is built.
  std::deque<StoredFile> files_;
  std::vector<std::uint64_t> devices_;
  std::vector<std::string> path_blocks_;
  std::vector<std::string> names_;
  std::vector<StoredHolder> more_holders_;
  std::vector<MoreHolders> more_index_;  // ordered by file
};

// Assembles a list: files and names first come first served, holders in any
// order of files; each file's holders keep the order they were added in.
class DeletedOpenFiles::Builder {
 public:
  // A process's name, to be given to each of its holders.
  std::uint32_t add_name(std::string_view process);
  // A file without holders yet; returns its place among those added.
  std::size_t add_file(std::uint64_t device, std::uint64_t inode, std::string_view path,
                       std::uint64_t allocated_bytes);
  void add_holder(std::size_t file, std::uint32_t pid, std::uint32_t name, std::int32_t fd);
  std::size_t file_count() const { return list_.files_.size(); }
  std::pair<std::uint64_t, std::uint64_t> key(std::size_t file) const {
    const StoredFile& stored = list_.files_[file];
    return {list_.devices_[stored.device], stored.inode};
  }

  // The list, its files in the order they were added, or largest first and
  // files of equal size by (device, inode), which must then be distinct.
  DeletedOpenFiles finish(bool largest_first) &&;

 private:
  struct PendingHolder {
    std::uint32_t file = 0;
    StoredHolder holder;
  };
  DeletedOpenFiles list_;
  std::map<std::uint64_t, std::uint32_t> device_places_;
  std::vector<PendingHolder> more_;
};

// The deleted-open files of a list as the contributing rule counts them:
// the same file reached through several descriptors counts once, with the
// size of its first.
struct DeletedOpenTotals {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};
DeletedOpenTotals deleted_open_totals(const DeletedOpenFiles& files);

}  // namespace brimful

#endif  // BRIMFUL_DELETED_OPEN_H
