"""A private /etc for tests that create system users: this process and its
children get a mount namespace of their own whose /etc is an overlay over the
machine's, so adduser and deluser change the overlay only and the machine's
users stay as they are."""
import atexit
import ctypes
import os
import shutil
import subprocess
import tempfile

CLONE_NEWNS = 0x00020000


def enter():
    """True once this process has its private /etc; False when it cannot have
    one (not root, no mount namespaces). Call before any thread starts: the
    kernel refuses a new mount namespace to a process with several threads."""
    if os.geteuid() != 0:
        return False
    if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWNS) != 0:
        return False
    folder = tempfile.mkdtemp(prefix="brenvik-etc-")
    upper, work = os.path.join(folder, "upper"), os.path.join(folder, "work")
    os.makedirs(upper)
    os.makedirs(work)
    mounted = subprocess.run(["mount", "--make-rprivate", "/"]).returncode == 0 and subprocess.run(
        ["mount", "-t", "overlay", "overlay", "-o", "lowerdir=/etc,upperdir=%s,workdir=%s" % (upper, work),
         "/etc"]).returncode == 0
    if not mounted:
        shutil.rmtree(folder, True)
        raise RuntimeError("no private /etc: the overlay mount failed")
    atexit.register(shutil.rmtree, folder, True)
    atexit.register(subprocess.run, ["umount", "-l", "/etc"])
    return True
