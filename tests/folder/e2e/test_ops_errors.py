"""Error names of failures the system really gives: a read-only mount, a full
file system, a rename across file systems (in a private mount namespace), and
permission failures of a service running as an unprivileged user."""

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


@unittest.skipUnless(os.geteuid() == 0, "needs root to start the service as another user")
class PermissionTest(FolderTest):
    def setUp(self):
        super().setUp()
        self.f = WrappedFolder(preexec=as_nobody, other_user=True)
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

    def test_unreadable_entry_and_own_file(self):
        self.assertEqual(self.f.call(self.f.request("readDir", path="d")),
                         ok(entries=[{"copy": "0", "name": "public"}],
                            unreadable=[{"name": "private", "reason": "NotAllowedError"}]))
        self.assertEqual(self.f.call(self.f.request("readDir", id="r2", path="d", mine="private")),
                         refusal("own-file-unreadable", "NotAllowedError", id="r2"))

    def test_sticky_directory_refuses_removal(self):
        sticky = os.path.join(self.f.root, "sticky")
        os.mkdir(sticky)
        os.chmod(sticky, 0o1777)
        write_file(os.path.join(sticky, "theirs"), b"x")
        self.assertEqual(self.f.call(self.f.request("remove", path="sticky/theirs")),
                         io_error("NotAllowedError"))
        self.assertTrue(os.path.exists(os.path.join(sticky, "theirs")))


if __name__ == "__main__":
    unittest.main()
