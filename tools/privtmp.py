"""qzlinkd's /tmp of its own, wherever the checkout lies.

The daemon reads the processor's state files under /tmp/dirac, so the demo,
the tests and the benches run it in a private mount namespace with a
directory of theirs bound over /tmp. A checkout, build or run directory
under /tmp would vanish behind that bind; the folders it lies in are bound
back at their own paths, so the daemon still finds its binary, the control
script, the pty link and the recording stubs, while /tmp/dirac stays the
private one.
"""
from pathlib import Path

# $0: the private tmp; $1: how many folders to bind back; then those folders
# (relative to /tmp) and the command. Descriptor 3 keeps the machine's /tmp
# reachable after the bind hides it.
_SCRIPT = r'''tmp=$0 n=$1; shift
exec 3</tmp || exit 1
mount --bind "$tmp" /tmp || exit 1
while [ "$n" -gt 0 ]; do
  mkdir -p "/tmp/$1" && mount --bind "/proc/self/fd/3/$1" "/tmp/$1" || exit 1
  shift; n=$((n - 1))
done
exec 3<&-
exec "$@"'''


def tmp_folder(path):
    """The folder right under /tmp that holds path, or None outside /tmp."""
    parts = Path(path).resolve().parts
    return parts[2] if len(parts) > 2 and parts[1] == "tmp" else None


def check_outside_dirac(*paths):
    """The text saying why one of paths cannot serve, or None: /tmp/dirac is
    the daemon's private state folder and cannot be bound back."""
    for p in paths:
        if tmp_folder(p) == "dirac":
            return "%s lies under /tmp/dirac, which qzlinkd sees as its own state folder: move it elsewhere" % p
    return None


def private_tmp_argv(tmp, keep, user=False):
    """The command prefix that runs what follows it with tmp as its /tmp and
    the folders of keep (any paths) that lie under /tmp bound back.
    user: inside a user namespace too (no CAP_SYS_ADMIN)."""
    why = check_outside_dirac(*keep)
    if why:
        raise ValueError(why)
    folders = sorted({f for f in map(tmp_folder, keep) if f})
    unshare = ["unshare"] + (["--user", "--map-root-user"] if user else []) + ["--mount", "--propagation", "private"]
    return unshare + ["sh", "-c", _SCRIPT, str(tmp), str(len(folders))] + folders
