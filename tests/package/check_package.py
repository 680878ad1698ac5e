#!/usr/bin/env python3
"""Builds the Debian package from a configured build tree, unpacks it into a temporary root
and runs the programs from there: what a user gets from `apt install ./zel-vavod_*.deb`.

    check_package.py BUILD_DIR VERSION [CPACK]

Exits 0 when every check passes; otherwise prints each failure and exits 1.
"""
import gzip
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import tty

FAILURES = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        FAILURES.append(what)
    return ok


def run(args, timeout=60, env=None):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=env)


def build_package(build_dir, cpack, out_dir, version):
    r = run([cpack, "-G", "DEB", "-B", out_dir], timeout=600)
    if r.returncode != 0:
        print(r.stdout + r.stderr)
        sys.exit("cpack failed")
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    deb = os.path.join(out_dir, "zel-vavod_%s_%s.deb" % (version, arch))
    if not os.path.isfile(deb):
        sys.exit("no %s among %s" % (deb, os.listdir(out_dir)))
    return deb


def check_control(deb, version):
    fields = {}
    for name in ("Package", "Version", "Architecture", "Maintainer", "Depends", "Description"):
        fields[name] = run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    check(fields["Package"] == "zel-vavod", "package name: " + fields["Package"])
    check(fields["Version"] == version, "version: " + fields["Version"])
    check(re.search(r"<[^>]+@[^>]+>", fields["Maintainer"]) is not None,
          "maintainer with an address: " + fields["Maintainer"])
    check(len(fields["Description"].splitlines()) > 1, "description with a long part")
    depends = fields["Depends"]
    for lib in ("libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6serialport6",
                "libqt6uitools6"):
        check(re.search(r"(^|, )%s\b" % lib, depends) is not None, "depends on " + lib)


def check_contents(deb, root):
    listing = run(["dpkg-deb", "-c", deb]).stdout
    paths = {line.split()[-1].lstrip(".") for line in listing.splitlines() if line.strip()}
    wanted = ["/usr/bin/zel-vavod", "/usr/bin/zel-sensor-sim",
              "/usr/share/zel-vavod/ZEL-A-RadovU20.ui", "/usr/share/zel-vavod/qx.bmp",
              "/usr/share/zel-vavod/comport.cfg",
              "/usr/share/applications/zel-vavod.desktop",
              "/usr/share/icons/hicolor/scalable/apps/zel-vavod.svg"]
    wanted += ["/usr/share/icons/hicolor/%dx%d/apps/zel-vavod.png" % (s, s)
               for s in (16, 32, 48, 64, 128, 256)]
    for p in wanted:
        check(p in paths, "packaged " + p)

    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    bindir = os.path.join(root, "usr/bin")
    for exe in sorted(os.listdir(bindir)):
        page = os.path.join(root, "usr/share/man/man1", exe + ".1.gz")
        if not check(os.path.isfile(page), "manual page for " + exe):
            continue
        with gzip.open(page, "rt") as f:
            text = f.read()
        check(re.search(r"^\.TH %s 1 " % re.escape(exe.upper()), text, re.M) is not None,
              exe + ".1 is a section 1 page titled " + exe.upper())
    for s in (16, 32, 48, 64, 128, 256):
        png = os.path.join(root, "usr/share/icons/hicolor/%dx%d/apps/zel-vavod.png" % (s, s))
        with open(png, "rb") as f:
            head = f.read(24)
        size = (int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big"))
        check(head[:8] == b"\x89PNG\r\n\x1a\n" and size == (s, s),
              "icon %dx%d is a PNG of that size" % (s, s))


def check_desktop_entry(root):
    entry = os.path.join(root, "usr/share/applications/zel-vavod.desktop")
    r = run(["desktop-file-validate", entry])
    said = (r.stdout + r.stderr).strip()
    check(r.returncode == 0 and not said, "desktop-file-validate" + (": " + said if said else ""))
    with open(entry) as f:
        keys = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    exe = keys.get("Exec", "").split()[0] if keys.get("Exec") else ""
    check(os.path.isfile(os.path.join(root, "usr/bin", exe)), "Exec names a packaged program")
    check(os.path.isfile(os.path.join(root, "usr/share/icons/hicolor/scalable/apps",
                                      keys.get("Icon", "") + ".svg")),
          "Icon names the packaged icon")


def check_options(root, version):
    env = dict(os.environ)
    programs = [("zel-vavod", "Usage: zel-vavod"), ("zel-sensor-sim", "Usage: zel-sensor-sim")]
    if os.path.isfile(os.path.join(root, "usr/bin/zel-vavod-cli")):
        programs.append(("zel-vavod-cli", "Usage: zel-vavod-cli"))
    for exe, usage in programs:
        path = os.path.join(root, "usr/bin", exe)
        r = run([path, "--help"], env=env)
        check(r.returncode == 0 and r.stdout.startswith(usage), exe + " --help")
        r = run([path, "--version"], env=env)
        check(r.returncode == 0 and r.stdout.startswith(exe + " ") and version in r.stdout,
              exe + " --version: " + r.stdout.strip())


def check_started_from_prefix(root, scratch):
    """The GUI finds its panel file in share/ and the simulator beside itself."""
    home = os.path.join(scratch, "home")
    os.makedirs(os.path.join(home, ".config/zel-vavod"))
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               QT_QPA_PLATFORM="offscreen", ZEL_STARTUP_REPORT="exit",
               XDG_RUNTIME_DIR=scratch)
    r = run([os.path.join(root, "usr/bin/zel-vavod"), "--simulate"], env=env, timeout=60)
    check(r.returncode == 0 and "main window shown" in r.stderr
          and "not started" not in r.stderr,
          "installed zel-vavod --simulate starts and closes: exit %d %s"
          % (r.returncode, r.stderr.strip()[:300]))


def check_line_check(root, scratch):
    link = os.path.join(scratch, "sensor")
    sim = subprocess.Popen([os.path.join(root, "usr/bin/zel-sensor-sim"), "--link", link],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reply = b""
    try:
        first = sim.stdout.readline().decode().strip()
        check(first.startswith("/dev/"), "simulator prints its terminal: " + first)
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            os.write(fd, bytes([0x00, 0x55, 0x00, 0x05]) + bytes(32))
            # Wait up to 5 s for 36 bytes, then 0.2 s more: anything after them is an error.
            deadline = time.monotonic() + 5.0
            settle = None
            while time.monotonic() < (settle if settle is not None else deadline):
                ready, _, _ = select.select([fd], [], [], 0.05)
                if ready:
                    reply += os.read(fd, 256)
                    if len(reply) >= 36 and settle is None:
                        settle = time.monotonic() + 0.2
        finally:
            os.close(fd)
    finally:
        sim.send_signal(signal.SIGTERM)
        code = sim.wait(timeout=10)
    check(len(reply) == 36, "line check: a 36-byte reply (got %d: %s)" % (len(reply), reply.hex()))
    check(reply[0:2] == b"\x00\xaa" or reply[2:4] == b"\x00\xaa",
          "line check: 00 AA in bytes 0-1 or 2-3")
    check(code == 0, "simulator exits 0 on SIGTERM (%d)" % code)
    check(not os.path.lexists(link), "simulator removes its link")


def check_cli_without_display(root, scratch):
    """The installed command-line tool talks to the installed simulator with no display."""
    cli = os.path.join(root, "usr/bin/zel-vavod-cli")
    if not os.path.isfile(cli):
        return
    link = os.path.join(scratch, "cli-sensor")
    sim = subprocess.Popen([os.path.join(root, "usr/bin/zel-sensor-sim"), "--link", link],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        sim.stdout.readline()
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(HOME=scratch, XDG_RUNTIME_DIR=scratch)
        r = run([cli, "info", "--json", "--device", link], env=env, timeout=60)
        check(r.returncode == 0 and "V2.0" in r.stdout,
              "installed zel-vavod-cli info without a display: exit %d %s"
              % (r.returncode, (r.stdout + r.stderr).strip()[:300]))
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=10)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    build_dir, version = sys.argv[1], sys.argv[2]
    cpack = sys.argv[3] if len(sys.argv) > 3 else "cpack"
    os.chdir(build_dir)
    with tempfile.TemporaryDirectory(prefix="zelpkg-") as scratch:
        deb = build_package(build_dir, cpack, os.path.join(scratch, "out"), version)
        print("package %s, %d bytes" % (os.path.basename(deb), os.path.getsize(deb)))
        root = os.path.join(scratch, "root")
        check_control(deb, version)
        check_contents(deb, root)
        check_desktop_entry(root)
        check_options(root, version)
        check_started_from_prefix(root, scratch)
        check_line_check(root, scratch)
        check_cli_without_display(root, scratch)
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
