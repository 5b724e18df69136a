"""Error names of failures the system really gives: a read-only mount, a full
file system, a rename across file systems (in a private mount namespace),
permission failures of a service running as an unprivileged user, and paths
longer than the system's path calls take."""

import os
import unittest

from harness import FolderTest, read_file, refusal, write_file
from ops_support import WrappedFolder, as_nobody, have_mount_namespaces, io_error, ok, temp_files

# Mounts made inside the service's own mount namespace; "$@" is the service.
MOUNTS = r'''
set -e
cd "@ROOT@"
mkdir ro small other
echo kept > ro/file
mount --bind ro ro
mount -o remount,bind,ro ro
mount -t tmpfs -o size=64k tmpfs small
mount -t tmpfs -o size=64k tmpfs other
echo old > small/t
cd /
exec "$@"
'''


def write_mount_script(folder):
    with open(os.path.join(folder.tmp, "mounts.sh"), "w") as f:
        f.write(MOUNTS.replace("@ROOT@", folder.root))


@unittest.skipUnless(have_mount_namespaces(), "needs root and mount namespaces")
class MountedTest(FolderTest):
    def setUp(self):
        super().setUp()
        self.f = WrappedFolder(wrapper='exec unshare -m sh @TMP@/mounts.sh "$@"',
                               prepare=write_mount_script)
        self.addCleanup(self.f.close)
        self.f.hello()

    def inside(self, rel):
        return self.f.inside(os.path.join(self.f.root, rel))

    def write(self, rel, data, id="r1"):
        name = self.f.put_payload(id, data)
        return self.f.call(self.f.request("write", id=id, path=rel, payloads=[name]))

    def test_read_only_file_system(self):
        self.assertEqual(self.write("ro/file", b"new"), io_error("ReadOnlyError"))
        self.assertEqual(self.f.call(self.f.request("makeDir", id="r2", path="ro/d")),
                         io_error("ReadOnlyError", id="r2"))
        self.assertEqual(self.f.call(self.f.request("remove", id="r3", path="ro/file")),
                         io_error("ReadOnlyError", id="r3"))
        self.assertEqual(read_file(self.inside("ro/file")), b"kept\n")

    def test_full_file_system_keeps_the_old_file(self):
        self.assertEqual(self.write("small/t", b"x" * 200000), io_error("NotReadableError"))
        self.assertEqual(read_file(self.inside("small/t")), b"old\n")
        self.assertEqual(temp_files(self.inside("small")), [])

    def test_rename_across_file_systems(self):
        write_file(self.inside("small/a"), b"a")
        self.assertEqual(self.f.call(self.f.request("move", **{"from": "small/a", "to": "other/a"})),
                         io_error("UnknownError"))
        self.assertEqual(read_file(self.inside("small/a")), b"a")


AS_ROOT = os.geteuid() == 0
needs_other_user = unittest.skipUnless(AS_ROOT, "needs root to start the service as another user")


class PermissionTest(FolderTest):
    """The service runs as nobody when the tests run as root, else as the
    user running them, who is refused what the mode bits refuse as well."""

    def setUp(self):
        super().setUp()
        self.f = WrappedFolder(preexec=as_nobody if AS_ROOT else None, other_user=AS_ROOT)
        self.addCleanup(self.f.close)
        self.f.hello()
        self.locked = os.path.join(self.f.root, "locked")
        os.mkdir(self.locked)
        write_file(os.path.join(self.locked, "file"), b"root's")
        os.chmod(self.locked, 0o755)
        write_file(os.path.join(self.f.root, "d", "private"), b"private")
        write_file(os.path.join(self.f.root, "d", "public"), b"public")
        os.chmod(os.path.join(self.f.root, "d", "private"), 0o600)
        os.chmod(os.path.join(self.f.root, "d"), 0o777)

    @needs_other_user
    def test_permission_failures_are_not_allowed(self):
        name = self.f.put_payload("p", b"new")
        self.assertEqual(self.f.call(self.f.request("write", path="locked/file", payloads=[name])),
                         io_error("NotAllowedError"))
        self.assertEqual(self.f.call(self.f.request("remove", id="r2", path="locked/file")),
                         io_error("NotAllowedError", id="r2"))
        self.assertEqual(self.f.call(self.f.request("makeDir", id="r3", path="locked/sub")),
                         io_error("NotAllowedError", id="r3"))
        self.assertEqual(read_file(os.path.join(self.locked, "file")), b"root's")
        self.assertEqual(os.listdir(self.locked), ["file"])

    @needs_other_user
    def test_unreadable_entry_and_own_file(self):
        self.assertEqual(self.f.call(self.f.request("readDir", path="d")),
                         ok(entries=[{"copy": "0", "name": "public"}],
                            unreadable=[{"name": "private", "reason": "NotAllowedError"}]))
        self.assertEqual(self.f.call(self.f.request("readDir", id="r2", path="d", mine="private")),
                         refusal("own-file-unreadable", "NotAllowedError", id="r2"))

    @needs_other_user
    def test_sticky_directory_refuses_removal(self):
        sticky = os.path.join(self.f.root, "sticky")
        os.mkdir(sticky)
        os.chmod(sticky, 0o1777)
        write_file(os.path.join(sticky, "theirs"), b"x")
        self.assertEqual(self.f.call(self.f.request("remove", path="sticky/theirs")),
                         io_error("NotAllowedError"))
        self.assertTrue(os.path.exists(os.path.join(sticky, "theirs")))

    def test_directory_readable_but_not_searchable(self):
        # Its names can be read; the entries behind them cannot be looked at.
        shut = os.path.join(self.f.root, "shut")
        write_file(os.path.join(shut, "b"), b"b")
        write_file(os.path.join(shut, "a"), b"a")
        os.chmod(shut, 0o444)
        self.addCleanup(os.chmod, shut, 0o755)
        denied = [{"name": "a", "reason": "NotAllowedError"}, {"name": "b", "reason": "NotAllowedError"}]
        call = lambda op, id, **params: self.f.call(self.f.request(op, id=id, path="shut", **params))
        self.assertEqual(call("listNames", "r1"), ok(names=["a", "b"]))
        self.assertEqual(call("readDir", "r2"), ok(id="r2", entries=[], unreadable=denied))
        self.assertEqual(self.f.call(self.f.request("readDirs", id="r3", dirs=[{"path": "shut"}])),
                         ok(id="r3", dirs=[{"entries": [], "unreadable": denied}]))
        self.assertEqual(call("readDir", "r4", mine="b"),
                         refusal("own-file-unreadable", "NotAllowedError", id="r4"))
        self.assertEqual(call("removeDir", "r5"), io_error("NotAllowedError", id="r5"))
        self.assertEqual(call("listNames", "r6", holding="a"), io_error("NotAllowedError", id="r6"))
        self.assertEqual(sorted(os.listdir(shut)), ["a", "b"])


PATH_MAX = 4096
TOO_LONG = io_error("OperationError")


def snapshot(top):
    """Every entry below `top` with its content or kind, found through
    directory descriptors so that paths past PATH_MAX are seen too."""
    found = {}
    for dirpath, dirnames, filenames, dirfd in os.fwalk(top):
        rel = os.path.relpath(dirpath, top)
        found.update({os.path.join(rel, name): "dir" for name in dirnames})
        for name in filenames:
            with open(os.open(name, os.O_RDONLY | os.O_NOFOLLOW, dir_fd=dirfd), "rb") as f:
                found[os.path.join(rel, name)] = f.read()
    return found


class PathLimitTest(FolderTest):
    def setUp(self):
        super().setUp()
        self.f = self.session()

    def long_path(self, total, last):
        """A relative path ending in `last` whose full text below the root is
        `total` bytes, made of components of at most 255 bytes."""
        room = total - len(self.f.root) - 1 - len(last)
        parts = []
        while room > 0:
            take = min(256, room)  # a component and its '/'
            if room - take == 1:
                take -= 1
            parts.append("d" * (take - 1))
            room -= take
        return "/".join(parts + [last])

    def put(self, rel, data):
        """Writes the file `rel` below the root, making its parents one
        component at a time, never naming the whole path."""
        fd = os.open(self.f.root, os.O_RDONLY | os.O_DIRECTORY)
        parts = rel.split("/")
        try:
            for name in parts[:-1]:
                try:
                    os.mkdir(name, dir_fd=fd)
                except FileExistsError:
                    pass
                fd, old = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd), fd
                os.close(old)
            with open(os.open(parts[-1], os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                f.write(data)
        finally:
            os.close(fd)

    def test_make_dir_and_write_just_past_the_limit_create_nothing(self):
        name = self.f.put_payload("p", b"long")
        for total in (PATH_MAX, PATH_MAX + 300):
            self.assertEqual(self.f.call(self.f.request("makeDir", path=self.long_path(total, "m"))),
                             TOO_LONG, total)
            self.assertEqual(self.f.call(self.f.request("write", path=self.long_path(total, "w"),
                                                        payloads=[name])), TOO_LONG, total)
            self.assertEqual(os.listdir(self.f.root), [])
        made, written = self.long_path(PATH_MAX - 1, "m"), self.long_path(PATH_MAX - 1, "w")
        self.assertEqual(self.f.call(self.f.request("makeDir", path=made)), ok())
        self.assertEqual(self.f.call(self.f.request("write", path=written, payloads=[name])), ok())
        self.assertTrue(os.path.isdir(os.path.join(self.f.root, made)))
        self.assertEqual(read_file(os.path.join(self.f.root, written)), b"long")

    def test_no_operation_reaches_a_path_past_the_limit(self):
        # A tree a descriptor walk could reach: "far" lies past the limit.
        far = self.long_path(PATH_MAX + 10, "far")
        self.put(far + "/f", b"far file")
        self.put(far + "/sub/held", b"held")
        write_file(os.path.join(self.f.root, "near", "x"), b"near file")
        before = snapshot(self.f.root)
        payloads = [self.f.put_payload("p%d" % k, b"new") for k in range(2)]
        requests = [
            dict(op="exists", path=far), dict(op="readDir", path=far),
            dict(op="readDirs", dirs=[{"path": "near"}, {"path": far}]),
            dict(op="listNames", path=far, holding="held"), dict(op="removeDir", path=far),
            dict(op="remove", path=far + "/f"), dict(op="makeDir", path=far + "/new"),
            dict(op="write", path=far + "/f", payloads=payloads[:1]),
            dict(op="writeFiles", files=[{"path": "near/first"}, {"path": far + "/new"}],
                 payloads=payloads),
            dict(op="move", **{"from": far + "/f", "to": "near/moved"}),
            dict(op="move", **{"from": "near/x", "to": far + "/g"}),
            dict(op="exists", path="near", requireTop=far),
        ]
        for request in requests:
            self.assertEqual(self.f.call(self.f.request(**request)), TOO_LONG, request["op"])
        self.assertEqual(snapshot(self.f.root), before)
        self.assertEqual(sorted(os.listdir(self.f.request_dir)), sorted(payloads))


if __name__ == "__main__":
    unittest.main()
