"""The root file system partition as the switch's kernel would mount it.

On the switch the kernel mounts / from the root file system partition, so
an installed rfs section changes what the next power-on finds under /etc.
The simulated switch's / is the PC's own, below the board's substitutes;
when DIR/dev/mtd-rfs holds an intact rfs section whose payload is a
gzip-compressed tar archive, its files are laid over that at every
power-on (the partition's other contents, such as the demo's placeholder,
change nothing). This is how a switch gets the public keys it checks
images with (/etc/bootlaunch/image-key1.pub, image-key2.pub).

Only plain files and directories are taken, at relative paths without
"..": an archive that holds anything else is not used at all.
"""

import io
import tarfile
import zlib
from pathlib import Path, PurePosixPath

RFS_TYPE = 0x04504754
MAX_PAYLOAD = 0xF00000


def _payload(partition):
    if len(partition) < 20:
        return None
    crc, length, magic = (int.from_bytes(partition[i:i + 4], "big") for i in (0, 4, 8))
    offset = int.from_bytes(partition[18:20], "big") if magic & 0x80000000 else 16
    if (magic & 0x7FFFFFFF) != RFS_TYPE or offset < 16 or length > MAX_PAYLOAD:
        return None
    end = offset + length
    if end > len(partition) or (~zlib.crc32(partition[4:end]) & 0xFFFFFFFF) != crc:
        return None
    payload = partition[offset:end]
    return payload if payload[:2] == b"\x1f\x8b" else None


def unpack(state, dest):
    """Unpacks the partition's archive into `dest`; returns the files laid
    over the root (relative paths), or [] when there is none to use."""
    path = Path(state) / "dev/mtd-rfs"
    payload = _payload(path.read_bytes()) if path.exists() else None
    if payload is None:
        return []
    try:
        with tarfile.open(fileobj=io.BytesIO(payload), mode="r:gz") as tar:
            members = tar.getmembers()
            for m in members:
                p = PurePosixPath(m.name)
                if p.is_absolute() or ".." in p.parts or not (m.isfile() or m.isdir()):
                    return []
            files = []
            for m in members:
                target = Path(dest) / PurePosixPath(m.name)
                if m.isdir():
                    target.mkdir(parents=True, exist_ok=True)
                    continue
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(tar.extractfile(m).read())
                target.chmod(m.mode & 0o755)
                files.append(str(PurePosixPath(m.name)))
            return files
    except (tarfile.TarError, OSError, EOFError, zlib.error):
        return []


KEY_PATHS = ("etc/bootlaunch/image-key1.pub", "etc/bootlaunch/image-key2.pub")


def archive(files):
    """A gzip-compressed tar archive of {relative path: bytes} (mode 0644),
    as a root file system image's payload."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
        for name, data in sorted(files.items()):
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(data), 0o644, 0
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def section(payload, version=(1, 0, 0, 0)):
    """A basic rfs section around `payload`."""
    body = (len(payload).to_bytes(4, "big") + RFS_TYPE.to_bytes(4, "big") + bytes(version)
            + payload)
    return (~zlib.crc32(body) & 0xFFFFFFFF).to_bytes(4, "big") + body


def key_files(keys):
    """The root file system files of up to two raw 32-byte public keys."""
    if not 1 <= len(keys) <= 2 or any(len(k) != 32 for k in keys):
        raise ValueError("one or two public keys of 32 bytes each")
    return dict(zip(KEY_PATHS, keys))


def program_keys(state, keys):
    """Erases the root file system partition and programs it with a root
    file system holding `keys`, as a factory would before the switch ships."""
    data = section(archive(key_files(keys)))
    path = Path(state) / "dev/mtd-rfs"
    size = path.stat().st_size
    if len(data) > size:
        raise ValueError(f"the keys' root file system ({len(data)} bytes) does not fit")
    path.write_bytes(data + b"\xff" * (size - len(data)))
