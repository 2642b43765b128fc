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

# $0: the private tmp; then the folders to bind back (names under /tmp), a
# "--" and the command. Each folder is opened (descriptors 3, 4, ...) before
# the bind hides it, and bound back from its descriptor.
_SCRIPT = r'''tmp=$0 fd=3
for f in "$@"; do
  [ "$f" = -- ] && break
  eval "exec $fd<\"/tmp/\$f\"" || exit 1
  fd=$((fd + 1))
done
mount --bind "$tmp" /tmp || exit 1
fd=3
while [ "$1" != -- ]; do
  mkdir -p "/tmp/$1" && mount --no-canonicalize --bind "/proc/self/fd/$fd" "/tmp/$1" || exit 1
  eval "exec $fd<&-"
  fd=$((fd + 1)); shift
done
shift
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
    return unshare + ["sh", "-c", _SCRIPT, str(tmp)] + folders + ["--"]
