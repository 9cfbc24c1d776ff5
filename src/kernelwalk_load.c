// Loads the in-kernel walk. The program comes embedded as a light skeleton:
// a small loader program that the kernel runs to load it, relocating it
// against the running kernel's own type information. That needs no BPF
// library at run time and never parses that information in brimful. The
// generated skeleton is C only, hence this file.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <linux/bpf.h>
#include <sys/syscall.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wpointer-arith"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Woverlength-strings"
#include "kernelwalk.lskel.h"
#pragma GCC diagnostic pop

#include "kernelwalk_record.h"

int kernelwalk_start(unsigned int target_kdev, int any_device, struct kernelwalk_bpf** program) {
  *program = kernelwalk_bpf__open();
  if (*program == NULL) return -1;
  (*program)->rodata->target_kdev = target_kdev;
  (*program)->rodata->any_device = any_device != 0;
  if (kernelwalk_bpf__load(*program) != 0 || kernelwalk_bpf__attach(*program) != 0) return -1;
  union bpf_attr attr;
  memset(&attr, 0, sizeof(attr));
  attr.iter_create.link_fd = (unsigned int)(*program)->links.walk_fd;
  return (int)syscall(__NR_bpf, BPF_ITER_CREATE, &attr, sizeof(attr));
}

void kernelwalk_stop(struct kernelwalk_bpf* program) {
  if (program != NULL) kernelwalk_bpf__destroy(program);
}
