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
    mount = lambda *args: subprocess.run(["mount", *args]).returncode == 0
    if not mount("--make-rprivate", "/"):  # first: nothing may reach the machine's mounts
        raise RuntimeError("no private /etc: mounts could not be made private")
    # What a container mounted over files in /etc (hosts, resolv.conf) is
    # kept aside and mounted again over the overlay.
    with open("/proc/self/mountinfo") as table:
        inside = [row.split()[4] for row in table if row.split()[4].startswith("/etc/")]
    kept = []
    for number, point in enumerate(inside):
        aside = os.path.join(folder, "kept%d" % number)
        os.makedirs(aside) if os.path.isdir(point) else open(aside, "w").close()
        if mount("--bind", point, aside):
            kept.append((aside, point))
    mounted = mount(
        "-t", "overlay", "overlay", "-o", "lowerdir=/etc,upperdir=%s,workdir=%s" % (upper, work), "/etc")
    for aside, point in kept:
        mounted = mounted and os.path.lexists(point) and mount("--bind", aside, point)
    # The folder is removed only once nothing of the machine is mounted in it.
    released = all(subprocess.run(["umount", aside]).returncode == 0 for aside, _ in kept)
    if not mounted:
        raise RuntimeError("no private /etc: the overlay mount failed")
    if released:
        atexit.register(shutil.rmtree, folder, True)
    atexit.register(subprocess.run, ["umount", "-l", "/etc"])
    return True
