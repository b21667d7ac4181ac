# The releases are reproducible and complete: two builds of HEAD in two folders, byte for byte.
import gzip
import hashlib
import io
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
NAMES = ["shimlist.exe", "README.txt", "LICENSE.txt", "SHA256SUMS"]
LINUX_NAMES = ["LICENSE.txt", "README.txt", "SHA256SUMS", "shimlist", "shimlist.1"]


def git(*arguments):
    return subprocess.run(["git", "-C", SOURCE_DIR] + list(arguments), check=True,
                          stdout=subprocess.PIPE, text=True).stdout.strip()


def committed(path):
    """The file as HEAD holds it: the release takes no file from the working tree."""
    return subprocess.run(["git", "-C", SOURCE_DIR, "show", "HEAD:" + path], check=True,
                          stdout=subprocess.PIPE).stdout


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="shimlist-release-test.")
        with open(os.path.join(SOURCE_DIR, "VERSION"), encoding="ascii") as f:
            cls.version = f.readline().strip()
        cls.zips, cls.tarballs = [], []
        # The second build runs later, in a folder with another name and length, under another
        # time zone, locale and umask, with compiler flags and CMake variables that must not
        # reach the build.
        cls.stray = stray = {"CXXFLAGS": "-fno-inline", "CFLAGS": "-fno-inline",
                             "CMAKE_BUILD_TYPE": "Debug"}
        for name, environment, umask in (("a", {}, 0o022),
                                         ("second-folder", dict(stray, TZ="Asia/Kolkata",
                                                                LC_ALL="C"), 0o077)):
            folder = os.path.join(cls.tmp.name, name)
            old = os.umask(umask)
            try:
                done = subprocess.run([os.path.join(SOURCE_DIR, "tools", "release"), "--out",
                                       folder, "--work", os.path.join(folder, "work")],
                                      check=True, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, text=True,
                                      env=dict(os.environ, **environment))
            finally:
                os.umask(old)
            cls.said = done.stderr
            cls.zips.append(os.path.join(folder, "shimlist-%s-win32.zip" % cls.version))
            cls.tarballs.append(os.path.join(folder,
                                             "shimlist-%s-linux-x86_64.tar.gz" % cls.version))
            time.sleep(2.1)  # zip times count in steps of two seconds
        cls.work = os.path.join(cls.tmp.name, "a", "work", "shimlist")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_two_builds_are_identical(self):
        named = re.search(r"left out of the build: (.*)", self.said)
        self.assertTrue(named, self.said)
        self.assertLessEqual(set(self.stray), set(named.group(1).split(", ")))
        for pair in (self.zips, self.tarballs):
            with open(pair[0], "rb") as first, open(pair[1], "rb") as second:
                self.assertEqual(hashlib.sha256(first.read()).hexdigest(),
                                 hashlib.sha256(second.read()).hexdigest(), pair[0])

    def test_contents(self):
        commit_time = int(git("log", "-1", "--format=%ct", "HEAD"))
        expected_time = time.gmtime(commit_time - commit_time % 2)[:6]
        with zipfile.ZipFile(self.zips[0]) as archive:
            entries = archive.infolist()
            self.assertEqual([entry.filename for entry in entries], NAMES)
            for entry in entries:
                self.assertEqual(entry.date_time, expected_time, entry.filename)
                self.assertEqual(entry.external_attr >> 16, 0o100644, entry.filename)
            files = {name: archive.read(name) for name in NAMES}
        for name in ("README.txt", "LICENSE.txt"):
            text = files[name]
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
            self.assertTrue(text.endswith(b"\r\n"), name)
        self.assertIn(b"shimlist %s " % self.version.encode(), files["README.txt"])
        self.assertNotIn(b"@", files["README.txt"])
        self.assertEqual(files["LICENSE.txt"], committed("LICENSE").replace(b"\n", b"\r\n"))
        self.assertEqual(files["SHA256SUMS"].decode("ascii"),
                         "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                                 for name in NAMES[:3]))

        # The executable in the zip is the one built, and it passes the checks of its shape.
        exe = os.path.join(self.tmp.name, "shimlist.exe")
        with open(exe, "wb") as f:
            f.write(files["shimlist.exe"])
        with open(os.path.join(self.work, "build", "i686", "bin", "shimlist.exe"), "rb") as f:
            self.assertEqual(files["shimlist.exe"], f.read())
        check = subprocess.run(
            [sys.executable, os.path.join(SOURCE_DIR, "tests", "driver", "check_exe.py"), exe,
             "--arch", "i686", "--map", os.path.join(self.work, "build", "i686", "shimlist.map")],
            stdout=subprocess.PIPE, text=True)
        self.assertEqual(check.returncode, 0, check.stdout)


    def test_linux_tarball(self):
        commit = git("rev-parse", "HEAD")
        commit_time = int(git("log", "-1", "--format=%ct", "HEAD"))
        with open(self.tarballs[0], "rb") as f:
            packed = f.read()
        # No file name (flag 0x08) and no time in the gzip header.
        self.assertEqual((packed[3] & 0x08, packed[4:8]), (0, bytes(4)))
        # Everything in one folder of its own, which the archive holds first.
        folder = "shimlist-%s-linux-x86_64" % self.version
        with tarfile.open(fileobj=io.BytesIO(gzip.decompress(packed))) as archive:
            entries = archive.getmembers()
            self.assertEqual([entry.name for entry in entries],
                             [folder] + ["%s/%s" % (folder, name) for name in LINUX_NAMES])
            for entry in entries:
                executable = entry.name in (folder, folder + "/shimlist")
                self.assertEqual((entry.mtime, entry.uid, entry.gid, entry.uname, entry.gname,
                                  entry.mode, entry.isdir() if entry.name == folder
                                  else entry.isreg()),
                                 (commit_time, 0, 0, "", "", 0o755 if executable else 0o644,
                                  True), entry.name)
            files = {name: archive.extractfile("%s/%s" % (folder, name)).read()
                     for name in LINUX_NAMES}
        self.assertNotIn(b"\r", files["README.txt"] + files["LICENSE.txt"])
        self.assertIn(b"shimlist %s for Linux" % self.version.encode(), files["README.txt"])
        self.assertIn(b"commit %s," % commit.encode(), files["README.txt"])
        self.assertNotIn(b"@", files["README.txt"])
        self.assertEqual(files["LICENSE.txt"], committed("LICENSE"))
        self.assertEqual(files["shimlist.1"], committed("doc/shimlist.1"))
        self.assertEqual(files["SHA256SUMS"].decode("ascii"),
                         "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                                 for name in ("shimlist", "shimlist.1", "README.txt",
                                              "LICENSE.txt")))

        # The program in the tarball is the one built; it needs no shared library, and lists.
        with open(os.path.join(self.work, "build", "native", "bin", "shimlist"), "rb") as f:
            self.assertEqual(files["shimlist"], f.read())
        program = os.path.join(self.tmp.name, "shimlist")
        with open(program, "wb") as f:
            f.write(files["shimlist"])
        os.chmod(program, 0o755)
        ldd = subprocess.run(["ldd", program], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
        self.assertIn("not a dynamic executable", ldd.stdout)
        done = subprocess.run([program, os.path.join(SOURCE_DIR, "tests", "realdb",
                                                     "AtomicShimx86.sdb")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("0x7001 = DATABASE", done.stdout.decode("utf-8"))
        # It names the commit it was built from, although the build had no git.
        named = subprocess.run([program, "--version"], stdout=subprocess.PIPE, check=True)
        self.assertEqual(named.stdout, b"shimlist %s (commit %s)\n" % (self.version.encode(),
                                                                       commit.encode()))


class ReadmeVersionTest(unittest.TestCase):
    def test_readme_names_this_version(self):
        with open(os.path.join(SOURCE_DIR, "VERSION"), encoding="ascii") as f:
            version = f.readline().strip()
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        named = re.findall(r"shimlist-(\d[\d.]*\d)-(?:win32\.zip|linux-x86_64\.tar\.gz)|"
                           r"this is version (\d[\d.]*\d)", readme)
        self.assertTrue(named)
        self.assertEqual({a or b for a, b in named}, {version})


if __name__ == "__main__":
    unittest.main()
