"""Helpers of the Python tests that run the Windows build under Wine.

The emulator is the build's command line for running a program (the Wine
loader of the build's arch with the build's prefix); the client's registry
key is written in the registry view of that arch, as the DLL reads it.
"""
import json
import os
import subprocess

CLIENT_KEY = r"HKLM\Software\VELMORA\ORLA/VS/K"


def win_path(unix_path):
    """A Unix path as Wine's drive Z: shows it."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


class Wine:
    def __init__(self, emulator, arch):
        self.emulator = list(emulator)
        self.view = "/reg:32" if arch == "i686" else "/reg:64"
        # Unix texts (arguments, file names) in UTF-8, whatever the caller's locale.
        self.env = dict(os.environ, LC_ALL="C.UTF-8", WINEDEBUG="-all")

    def run(self, program, args, env=None, cwd=None):
        """Runs a Windows program; returns (exit code, stdout bytes, stderr bytes)."""
        full_env = dict(self.env, **(env or {}))
        done = subprocess.run(self.emulator + [program] + list(args), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full_env, cwd=cwd,
                              timeout=120)
        return done.returncode, done.stdout, done.stderr

    def set_client_value(self, name, value):
        code, out, err = self.run("reg", ["add", CLIENT_KEY, self.view, "/v", name, "/d", value, "/f"])
        if code != 0:
            raise RuntimeError("reg add %s failed: %r %r" % (name, out, err))

    def delete_client_key(self):
        self.run("reg", ["delete", CLIENT_KEY, self.view, "/f"])


def install_tree(build_dir, prefix):
    """Installs the build tree (the release as it ships) into prefix."""
    done = subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise RuntimeError("cmake --install failed:\n" + done.stdout.decode(errors="replace"))


def _no_constant(name):
    raise ValueError("not JSON: " + name)


def _no_duplicates(pairs):
    names = [name for name, _ in pairs]
    if len(names) != len(set(names)):
        raise ValueError("duplicate member in %r" % names)
    return dict(pairs)


def strict_json(data):
    """The one JSON value of data (bytes): valid UTF-8, RFC 8259 grammar (no
    NaN or Infinity, no control characters in strings), no duplicate members,
    nothing but white space around it. Raises ValueError otherwise."""
    text = data.decode("utf-8")  # strict: any invalid byte raises
    decoder = json.JSONDecoder(strict=True, parse_constant=_no_constant, object_pairs_hook=_no_duplicates)
    return decoder.decode(text)
