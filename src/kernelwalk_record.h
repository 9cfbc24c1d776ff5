// What the BPF program, its C loader and the C++ side share: the record the
// in-kernel walk writes for each descriptor it reports, in plain C types.
#ifndef BRIMFUL_KERNELWALK_RECORD_H
#define BRIMFUL_KERNELWALK_RECORD_H

enum kernelwalk_kind {
  // The first descriptor of a process: proof that the process has any.
  KERNELWALK_FIRST = 1,
  // A regular file without links that may lie on the target filesystem.
  KERNELWALK_DELETED = 2,
  // An inotify instance.
  KERNELWALK_INOTIFY = 3,
};

struct kernelwalk_record {
  unsigned int kind;
  // The process as the reader's PID namespace numbers it.
  unsigned int pid;
  // The thread whose table holds the descriptor: the process itself, or
  // when its leader has exited, one of its other threads.
  unsigned int thread;
  int fd;
};

#ifndef __bpf__
#ifdef __cplusplus
extern "C" {
#endif

struct kernelwalk_bpf;

// Loads the walk, with target_kdev the target's device number in the
// kernel's encoding (any_device nonzero: every filesystem), and returns a descriptor to read its records from, or
// -1 when the kernel will not have it. *program is set even on failure and
// must be given to kernelwalk_stop.
int kernelwalk_start(unsigned int target_kdev, int any_device, struct kernelwalk_bpf** program);
void kernelwalk_stop(struct kernelwalk_bpf* program);

#ifdef __cplusplus
}
#endif
#endif

#endif  // BRIMFUL_KERNELWALK_RECORD_H
