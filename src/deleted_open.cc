#include "deleted_open.h"

#include <algorithm>
#include <tuple>

#include "text.h"

namespace brimful {

namespace {

// Paths are packed into blocks of this size, so that the list never holds a
// half-empty copy of all of them while it grows.
constexpr std::size_t kPathBlockSize = std::size_t{64} << 10;

}  // namespace

Holder HolderList::operator[](std::size_t i) const {
  const DeletedOpenFiles::StoredHolder& stored =
      i == 0 ? files_->files_[file_].first : files_->more_holders_[more_ + i - 1];
  return Holder{stored.pid, files_->names_[stored.name], stored.fd};
}

DeletedOpenFiles::DeletedOpenFiles(std::initializer_list<DeletedOpenEntry> entries)
    : DeletedOpenFiles(std::vector<DeletedOpenEntry>(entries)) {}

DeletedOpenFiles::DeletedOpenFiles(const std::vector<DeletedOpenEntry>& entries) {
  Builder builder;
  std::map<std::string_view, std::uint32_t> names;
  for (const DeletedOpenEntry& entry : entries) {
    const std::size_t file = builder.add_file(entry.device, entry.inode, entry.path, entry.allocated_bytes);
    for (const Holder& holder : entry.holders) {
      const auto [known, added] = names.try_emplace(holder.process, 0);
      if (added) known->second = builder.add_name(holder.process);
      builder.add_holder(file, holder.pid, known->second, holder.fd);
    }
  }
  *this = std::move(builder).finish(false);
}

DeletedOpenFile DeletedOpenFiles::operator[](std::size_t i) const {
  const StoredFile& stored = files_[i];
  const std::string& block = path_blocks_[stored.path_at >> 32];
  HolderList holders;
  holders.files_ = this;
  holders.file_ = i;
  holders.count_ = stored.holder_count;
  if (stored.holder_count > 1) {
    const auto more = std::lower_bound(more_index_.begin(), more_index_.end(), i,
                                       [](const MoreHolders& m, std::size_t file) { return m.file < file; });
    holders.more_ = more->first;
  }
  return DeletedOpenFile{devices_[stored.device], stored.inode,
                         std::string_view(block).substr(stored.path_at & UINT32_MAX, stored.path_size),
                         stored.allocated_bytes, holders};
}

std::vector<bool> DeletedOpenFiles::first_of_each_file() const {
  std::vector<std::uint32_t> order(files_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  // The device's place stands for the device: the table holds each once.
  const auto key = [&](std::uint32_t i) { return std::make_tuple(files_[i].device, files_[i].inode, i); };
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  std::vector<bool> first(files_.size(), false);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const StoredFile& file = files_[order[i]];
    const bool repeated = i > 0 && files_[order[i - 1]].device == file.device &&
                          files_[order[i - 1]].inode == file.inode;
    first[order[i]] = !repeated;
  }
  return first;
}

std::uint32_t DeletedOpenFiles::Builder::add_name(std::string_view process) {
  list_.names_.emplace_back(process);
  return static_cast<std::uint32_t>(list_.names_.size() - 1);
}

std::size_t DeletedOpenFiles::Builder::add_file(std::uint64_t device, std::uint64_t inode,
                                                std::string_view path, std::uint64_t allocated_bytes) {
  std::vector<std::string>& blocks = list_.path_blocks_;
  if (blocks.empty() || blocks.back().size() + path.size() > blocks.back().capacity()) {
    blocks.emplace_back();
    blocks.back().reserve(std::max(kPathBlockSize, path.size()));
  }
  const auto [place, added] = device_places_.try_emplace(device, static_cast<std::uint32_t>(list_.devices_.size()));
  if (added) list_.devices_.push_back(device);
  StoredFile stored;
  stored.inode = inode;
  stored.allocated_bytes = allocated_bytes;
  stored.path_at = (std::uint64_t{blocks.size() - 1} << 32) | blocks.back().size();
  stored.path_size = static_cast<std::uint32_t>(path.size());
  stored.device = place->second;
  blocks.back().append(path);
  list_.files_.push_back(stored);
  return list_.files_.size() - 1;
}

void DeletedOpenFiles::Builder::add_holder(std::size_t file, std::uint32_t pid, std::uint32_t name,
                                           std::int32_t fd) {
  StoredFile& stored = list_.files_[file];
  const StoredHolder holder{pid, fd, name};
  if (stored.holder_count++ == 0) {
    stored.first = holder;
  } else {
    more_.push_back(PendingHolder{static_cast<std::uint32_t>(file), holder});
  }
}

DeletedOpenFiles DeletedOpenFiles::Builder::finish(bool largest_first) && {
  std::deque<StoredFile>& files = list_.files_;
  if (largest_first) {
    // The keys are distinct, so the order is total.
    const std::vector<std::uint64_t>& devices = list_.devices_;
    const auto before = [&](const StoredFile& x, const StoredFile& y) {
      if (x.allocated_bytes != y.allocated_bytes) return x.allocated_bytes > y.allocated_bytes;
      if (x.device != y.device) return devices[x.device] < devices[y.device];
      return x.inode < y.inode;
    };
    // The files are sorted where they lie. The holders after the first name
    // their file by its place, so they keep a copy of it to find it again.
    std::vector<StoredFile> held_by_more;
    held_by_more.reserve(more_.size());
    for (const PendingHolder& pending : more_) held_by_more.push_back(files[pending.file]);
    std::sort(files.begin(), files.end(), before);
    for (std::size_t i = 0; i < more_.size(); ++i) {
      const auto place = std::lower_bound(files.begin(), files.end(), held_by_more[i], before);
      more_[i].file = static_cast<std::uint32_t>(place - files.begin());
    }
  }
  // The holders after the first, grouped by file in the list's order.
  std::stable_sort(more_.begin(), more_.end(),
                   [](const PendingHolder& a, const PendingHolder& b) { return a.file < b.file; });
  list_.more_holders_.reserve(more_.size());
  for (const PendingHolder& pending : more_) {
    if (list_.more_index_.empty() || list_.more_index_.back().file != pending.file) {
      list_.more_index_.push_back(
          MoreHolders{pending.file, static_cast<std::uint32_t>(list_.more_holders_.size())});
    }
    list_.more_holders_.push_back(pending.holder);
  }
  more_ = {};
  return std::move(list_);
}

DeletedOpenTotals deleted_open_totals(const DeletedOpenFiles& files) {
  const std::vector<bool> first = files.first_of_each_file();
  DeletedOpenTotals totals;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (!first[i]) continue;
    ++totals.files;
    totals.bytes = saturating_add(totals.bytes, files[i].allocated_bytes);
  }
  return totals;
}

}  // namespace brimful
