// The in-kernel walk over every descriptor table of the reader's PID
// namespace. It writes a record only for the few descriptors the process scan
// must look at more closely, so the loader never touches the rest.
//
// Every kernel structure is read through CO-RE relocations, so the object
// built against one kernel's type information loads on another.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "kernelwalk_record.h"

char LICENSE[] SEC("license") = "Dual BSD/GPL";

#define S_IFMT 00170000
#define S_IFREG 0100000

#define ANON_INODE_FS_MAGIC 0x09041934
#define BTRFS_SUPER_MAGIC 0x9123683E
#define OVERLAYFS_SUPER_MAGIC 0x794c7630
#define BCACHEFS_SUPER_MAGIC 0xca451a4e

// The target filesystem's device number in the kernel's own encoding
// (major << 20 | minor), set by the loader.
const volatile __u32 target_kdev = 0;
// Set by the loader when the scan looks at every filesystem of the host: then
// every unlinked regular file is reported and the loader's status call
// decides.
const volatile __u32 any_device = 0;

// The thread of the previous call, the numbers the reader's namespace gives
// it and its thread group, and the first descriptor seen of it; the iterator
// visits one thread's descriptors in a row. When a record does not fit the
// reader's buffer the kernel drops the call's output and calls again with
// the same descriptor, so the first one's record is written on every such
// call.
__u32 last_tid = 0;
__u32 last_vpid = 0;
__u32 last_vtid = 0;
int last_first_fd = 0;

// The number the reader's PID namespace gives the task, or 0 when it has none.
static __u32 number_in_reader_namespace(struct task_struct *task) {
  struct task_struct *reader = bpf_get_current_task_btf();
  struct pid *reader_pid = BPF_CORE_READ(reader, thread_pid);
  unsigned int level = BPF_CORE_READ(reader_pid, level);
  struct upid own;
  struct upid seen;
  unsigned long numbers = bpf_core_field_offset(struct pid, numbers);
  unsigned long size = bpf_core_type_size(struct upid);
  if (bpf_probe_read_kernel(&own, sizeof(own), (void *)reader_pid + numbers + level * size))
    return 0;
  struct pid *task_pid = BPF_CORE_READ(task, thread_pid);
  if (BPF_CORE_READ(task_pid, level) < level) return 0;
  if (bpf_probe_read_kernel(&seen, sizeof(seen), (void *)task_pid + numbers + level * size))
    return 0;
  if (seen.ns != own.ns) return 0;
  return seen.nr;
}

// stat() reports some filesystems' files with a device number other than
// their superblock's (btrfs subvolumes, overlayfs layers, bcachefs
// subvolumes); their unlinked files are all reported and the loader's status
// call decides.
static int device_may_differ(unsigned long magic) {
  return magic == BTRFS_SUPER_MAGIC || magic == OVERLAYFS_SUPER_MAGIC ||
         magic == BCACHEFS_SUPER_MAGIC;
}

static int is_inotify_name(struct file *file) {
  const unsigned char *name = BPF_CORE_READ(file, f_path.dentry, d_name.name);
  char text[8] = {};
  if (BPF_CORE_READ(file, f_path.dentry, d_name.len) != 7) return 0;
  if (bpf_probe_read_kernel(text, 7, name)) return 0;
  return text[0] == 'i' && text[1] == 'n' && text[2] == 'o' && text[3] == 't' && text[4] == 'i' &&
         text[5] == 'f' && text[6] == 'y';
}

static void emit(struct seq_file *seq, unsigned int kind, int fd) {
  struct kernelwalk_record record = {kind, last_vpid, last_vtid, fd};
  bpf_seq_write(seq, &record, sizeof(record));
}

SEC("iter/task_file")
int walk(struct bpf_iter__task_file *ctx) {
  struct task_struct *task = ctx->task;
  struct file *file = ctx->file;
  if (task == 0 || file == 0) return 0;
  // /proc/PID/fd shows the thread group leader's table; a thread with a
  // table of its own is not part of it. A leader that has exited has no
  // table left, and its other threads still hold theirs: the kernel then
  // visits each of them, and the reader keeps the lowest-numbered one.
  if (task->pid != task->tgid && BPF_CORE_READ(task, group_leader, files) != 0) return 0;
  struct seq_file *seq = ctx->meta->seq;
  int fd = (int)ctx->fd;
  if ((__u32)task->pid != last_tid) {
    last_tid = task->pid;
    last_vpid = number_in_reader_namespace(task->group_leader);
    last_vtid = number_in_reader_namespace(task);
    last_first_fd = fd;
  }
  if (last_vpid == 0) return 0;
  if (fd == last_first_fd) emit(seq, KERNELWALK_FIRST, fd);

  struct inode *inode = BPF_CORE_READ(file, f_inode);
  struct super_block *sb = BPF_CORE_READ(inode, i_sb);
  unsigned long magic = BPF_CORE_READ(sb, s_magic);
  umode_t mode = BPF_CORE_READ(inode, i_mode);
  if ((mode & S_IFMT) == S_IFREG) {
    if (BPF_CORE_READ(inode, i_nlink) != 0) return 0;
    if (any_device || BPF_CORE_READ(sb, s_dev) == target_kdev || device_may_differ(magic))
      emit(seq, KERNELWALK_DELETED, fd);
    return 0;
  }
  if (magic == ANON_INODE_FS_MAGIC && is_inotify_name(file)) emit(seq, KERNELWALK_INOTIFY, fd);
  return 0;
}
