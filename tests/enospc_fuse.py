#!/usr/bin/python3
"""A FUSE filesystem whose daemon refuses every new file with ENOSPC while
its statfs claims 1 TiB free, as a full remote or bucket behind sshfs or an
object-store mount does. It holds one empty file, "held".

    enospc_fuse.py MOUNTPOINT

Once mounted it prints "ready" and its PID, then serves until its standard
input is closed, when it unmounts and exits.
"""
import errno
import os
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations

TIB = 1 << 40
BLOCK = 4096


class FullBackend(Operations):
    def __init__(self, mountpoint):
        self.mountpoint = mountpoint

    def init(self, path):
        print("ready\n%d" % os.getpid(), flush=True)
        threading.Thread(target=self.serve_until_stdin_closes, daemon=True).start()

    def serve_until_stdin_closes(self):
        sys.stdin.read()
        os.system("umount -l '%s'" % self.mountpoint)
        time.sleep(0.2)
        os._exit(0)

    def getattr(self, path, fh=None):
        if path not in ("/", "/held"):
            raise FuseOSError(errno.ENOENT)
        now = time.time()
        mode = stat.S_IFDIR | 0o777 if path == "/" else stat.S_IFREG | 0o666
        return {"st_mode": mode, "st_nlink": 2, "st_ctime": now, "st_mtime": now, "st_atime": now}

    def readdir(self, path, fh):
        return [".", ".."]

    def statfs(self, path):
        blocks = TIB // BLOCK
        return {"f_bsize": BLOCK, "f_frsize": BLOCK, "f_blocks": blocks, "f_bfree": blocks, "f_bavail": blocks,
                "f_files": 1000000, "f_ffree": 1000000, "f_namemax": 255}

    def create(self, path, mode, fi=None):
        raise FuseOSError(errno.ENOSPC)

    def mkdir(self, path, mode):
        raise FuseOSError(errno.ENOSPC)


if __name__ == "__main__":
    FUSE(FullBackend(sys.argv[1]), sys.argv[1], foreground=True, nothreads=True, allow_other=True,
         attr_timeout=0, entry_timeout=0)
