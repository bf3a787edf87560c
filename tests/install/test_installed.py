#!/usr/bin/python3
"""Mirabo as installed: `cmake --install` into a temporary prefix, and the
Debian package made by cpack.

    test_installed.py files   <build> <version>
    test_installed.py round   <build> <driver.so> <gst-plugins> [<preload first>]
    test_installed.py package <build> <version> <hardened: 0 or 1>

files:   the program directory, launcher, desktop entry, icons, metainfo and
         manual page are where the desktop looks for them, and its validators
         accept them; --help and --version answer without a display.
round:   the installed program, started by its launcher as a user who is not
         root from a program directory that user may write (as in ~/.local),
         records, compresses and sends one message to a mail server on
         127.0.0.1 (driven by driver.so, preloaded); its working files go to
         ~/.local/state/Mirabo, readable by that user only.
package: the .deb's name, control fields and file list, and lintian's verdict.
"""

import email
import email.policy
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
APP_ID = "org.example.mirabo"
NOBODY = 65534
failures = []


def check(ok, what):
    print(("ok      " if ok else "FAILED  ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def run(args, **kw):
    kw.setdefault("timeout", 300)
    return subprocess.run(args, capture_output=True, text=True, **kw)


def install(build, tmp):
    prefix = os.path.join(tmp, "prefix")
    r = run(["cmake", "--install", build, "--prefix", prefix])
    if not check(r.returncode == 0, "cmake --install"):
        sys.exit(r.stdout + r.stderr)
    return prefix


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def test_files(build, version, tmp):
    prefix = install(build, tmp)
    p = lambda *parts: os.path.join(prefix, *parts)
    for name in ("mirabo", "avi2mpg1"):
        check(os.access(p("lib", "mirabo", name), os.X_OK), "program directory holds " + name)
    check(os.path.realpath(p("bin", "mirabo")) == os.path.realpath(p("lib", "mirabo", "mirabo")),
          "bin/mirabo starts lib/mirabo/mirabo")

    desktop = p("share", "applications", APP_ID + ".desktop")
    entry = dict(line.split("=", 1) for line in open(desktop, encoding="utf-8")
                 if "=" in line and not line.startswith("#"))
    for key in ("Name", "GenericName", "Comment", "Exec", "Icon", "Keywords"):
        check(entry.get(key, "").strip() != "", f".desktop has {key}")
    check(entry.get("Exec", "").split()[0] == "mirabo", ".desktop starts the launcher on the PATH")
    # Not even a hint: two main categories put the program twice into menus.
    r = run(["desktop-file-validate", desktop])
    check(r.returncode == 0 and (r.stdout + r.stderr).strip() == "",
          "desktop-file-validate: " + (r.stdout + r.stderr).strip())

    icons = p("share", "icons", "hicolor")
    check(os.path.getsize(os.path.join(icons, "scalable", "apps", APP_ID + ".svg")) > 0, "scalable icon")
    for size in (48, 256):
        png = os.path.join(icons, f"{size}x{size}", "apps", APP_ID + ".png")
        check(os.path.exists(png) and png_size(png) == (size, size), f"{size} px icon")

    metainfo = p("share", "metainfo", APP_ID + ".metainfo.xml")
    r = run(["appstreamcli", "validate", "--pedantic", "--no-net", "--no-color", metainfo])
    check(r.returncode == 0, "appstreamcli validate --pedantic --no-net:\n" + r.stdout + r.stderr)
    # Offline the validator cannot tell a placeholder from a real address.
    urls = re.findall(r"https?://[^\s<\"]+", open(metainfo, encoding="utf-8").read())
    check(not [u for u in urls if re.match(r"https?://([^/]*\.)?example\.", u)],
          "metainfo has no placeholder URL: " + " ".join(urls))

    test_options(prefix, version, os.path.join(tmp, "options-home"))


def test_options(prefix, version, home):
    os.makedirs(home)
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "HOME") and not k.startswith("XDG_")}
    env["HOME"] = home
    mirabo = os.path.join(prefix, "bin", "mirabo")
    major, minor, patch = version.split(".")
    usage = ""
    for args, status, out, err in [
        (["--help"], 0, r"^Usage: mirabo .*\n\n  -h, --help ", r"^$"),
        (["-platform", "xcb", "--version"], 0, rf"^Mirabo {major}\.{minor}{patch}\n$", r"^$"),
        (["--versoin"], 2, r"^$", r"^mirabo: unknown option '--versoin'\n.*--help"),
        (["message.avi"], 2, r"^$", r"^mirabo: unexpected argument 'message.avi'\n"),
        (["-style"], 2, r"^$", r"^mirabo: .*'-style'\n"),
    ]:
        r = run([mirabo] + args, env=env, timeout=60)
        usage = usage or r.stdout
        check(r.returncode == status and re.search(out, r.stdout, re.S) is not None
              and re.search(err, r.stderr, re.S) is not None,
              f"mirabo {' '.join(args)} without a display: rc {r.returncode}\n{r.stdout}{r.stderr}")
    check(os.listdir(home) == [], "options answered before anything is written: " + " ".join(os.listdir(home)))

    page = os.path.join(prefix, "share", "man", "man1", "mirabo.1.gz")
    r = run(["man", "--warnings", "--no-hyphenation", "-l", page], env=dict(env, MANWIDTH="80"))
    check(r.returncode == 0 and r.stderr == "", "man renders the manual page:\n" + r.stderr)
    for section in ("OPTIONS", "FILES", "ENVIRONMENT", "EXIT STATUS"):
        check(f"\n{section}\n" in r.stdout, "manual page has " + section)
    for option in re.findall(r"(?<![\w-])(--?[a-z][\w-]*)", usage):
        check(option in r.stdout, "manual page tells of " + option)


def start_mail_server(store):
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(SOURCE, "scripts", "local_smtp_server.py"),
                               "--port", "0", "--store", store], stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    m = re.match(r"LISTENING (\d+)", line)
    if not m:
        server.kill()
        sys.exit("the mail server did not start: " + line)
    return server, int(m.group(1))


def test_round(build, driver, plugins, preload_first, tmp):
    prefix = install(build, tmp)
    # What the other user reads is copied out of the build, which may lie
    # where only its owner can go; folders are opened up whatever the umask.
    support = os.path.join(tmp, "support")
    shutil.copytree(plugins, os.path.join(support, "gst-plugins"))
    shutil.copy(driver, support)
    plugins, driver = os.path.join(support, "gst-plugins"), os.path.join(support, os.path.basename(driver))
    for dirpath, _, filenames in os.walk(tmp):
        os.chmod(dirpath, 0o755)
        for name in filenames:
            os.chmod(os.path.join(dirpath, name), os.stat(os.path.join(dirpath, name)).st_mode | 0o444)
    # The user's own, as a ~/.local install is: still no place for working files.
    program_dir = os.path.join(prefix, "lib", "mirabo")
    if os.geteuid() == 0:
        os.chown(program_dir, NOBODY, NOBODY)

    home = os.path.join(tmp, "home")
    config = os.path.join(home, ".config", "Mirabo")
    os.makedirs(config)
    received = os.path.join(tmp, "received")
    server, port = start_mail_server(received)
    try:
        with open(os.path.join(config, "Mirabo.conf"), "w") as f:
            f.write("[Settings]\nEmailAddress=ann@example.com\nFullName=Ann Smith\n"
                    f"SMTP=127.0.0.1:{port}\nUserName=\nPassword=\n")
        registry = os.path.join(home, "gst-registry.bin")
        if preload_first:
            # A sanitizer build's test camera loads only where the sanitizer's
            # runtime is: the registry is made beforehand with it preloaded,
            # so that the program finds it ready and loads no other plugins.
            r = run(["gst-inspect-1.0", "mirabotestdevices"], env=dict(
                os.environ, LD_PRELOAD=preload_first, ASAN_OPTIONS="detect_leaks=0",
                GST_REGISTRY=registry, GST_PLUGIN_PATH=plugins))
            check(r.returncode == 0, "the sanitizer build's test camera is registered")
        as_user = []
        if os.geteuid() == 0:
            for dirpath, dirnames, filenames in os.walk(home):
                for name in [dirpath] + [os.path.join(dirpath, n) for n in dirnames + filenames]:
                    os.chown(name, NOBODY, NOBODY)
            as_user = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]

        state = os.path.join(home, ".local", "state", "Mirabo")
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("XDG_") and k not in ("HOME", "LD_PRELOAD", "DISPLAY", "WAYLAND_DISPLAY")}
        suppressions = re.search(r"suppressions=([^:]+)", env.get("LSAN_OPTIONS", ""))
        if suppressions:
            shutil.copy(suppressions.group(1), os.path.join(support, "lsan.supp"))
            env["LSAN_OPTIONS"] = env["LSAN_OPTIONS"].replace(suppressions.group(1), os.path.join(support, "lsan.supp"))
        env.update({
            "HOME": home,
            "QT_QPA_PLATFORM": "offscreen",
            "GST_PLUGIN_PATH": plugins,
            "GST_REGISTRY": registry,
            "MIRABO_DRIVER_TO": "bob@example.org",
            "MIRABO_DRIVER_SUBJECT": "From the installed program",
            "MIRABO_DRIVER_WATCH": state,
        })
        # Preloaded into the program alone, not into setpriv on the way.
        preload = "LD_PRELOAD=" + ":".join(filter(None, [preload_first, driver]))
        program = subprocess.Popen(as_user + ["env", preload, os.path.join(prefix, "bin", "mirabo")], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            out, err = program.communicate(timeout=240)
        except subprocess.TimeoutExpired:
            program.kill()
            out, err = program.communicate()
        sent = program.returncode == 0 and "\nSENT\n" in "\n" + out
        print(out + (err[-4000:] if sent else err), flush=True)
        check(sent, "the round ends with the message sent")
    finally:
        server.terminate()
        server.wait(timeout=30)

    listed = [dict(f.rsplit(" ", 1) for f in line.split(", ") if f)
              for line in re.findall(r"^FILES [^:]*: (.*)$", out, re.M)]
    check(len(listed) == 2 and {"video.avi", "mirabo.mpg"} <= listed[0].keys() and "message.msg" in listed[1],
          "recording, compression and message wrote into the state folder")
    modes = {name: mode for files in listed for name, mode in files.items()}
    check(modes and set(modes.values()) == {"0600"}, "working files readable by the user alone: " + str(modes))
    check(os.path.isdir(state) and stat.S_IMODE(os.stat(state).st_mode) == 0o700, "state folder made with mode 0700")
    check(sorted(os.listdir(state)) == [] if os.path.isdir(state) else False, "working files removed after delivery")
    check(sorted(os.listdir(program_dir)) == ["avi2mpg1", "mirabo"], "program directory untouched")
    check(re.search(r"^STATUS mirabo\.mpg: \d+\.\d s, [\d.]+ (kB|MB)$", out, re.M) is not None,
          "status line gives length and size after Compress")

    messages = sorted(os.listdir(received)) if os.path.isdir(received) else []
    if check(len(messages) == 1, "one message arrived"):
        with open(os.path.join(received, messages[0]), "rb") as f:
            m = email.message_from_binary_file(f, policy=email.policy.default)
        check(m["Subject"] == "Mirabo: From the installed program" and m["To"] == "bob@example.org", "its headers")
        attached = [part for part in m.iter_attachments() if part.get_filename() == "mirabo.mpg"]
        check(len(attached) == 1 and len(attached[0].get_content()) > 10000, "its clip")


def test_package(build, version, hardened, tmp):
    out = os.path.join(tmp, "packages")
    r = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-G", "DEB", "-B", out])
    if not check(r.returncode == 0, "cpack -G DEB"):
        sys.exit(r.stdout + r.stderr)
    deb = os.path.join(out, f"mirabo_{version}_amd64.deb")
    if not check(os.path.exists(deb), "made " + os.path.basename(deb)):
        sys.exit(" ".join(os.listdir(out)))

    info = run(["dpkg-deb", "-f", deb]).stdout
    fields = dict(re.findall(r"^([A-Za-z-]+): (.*)$", info, re.M))
    check(fields.get("Package") == "mirabo" and fields.get("Version") == version
          and fields.get("Architecture") == "amd64", "package, version, architecture")
    depends = [d.strip().split()[0] for d in fields.get("Depends", "").split(",")]
    for needed in ("libc6", "libqt6widgets6", "libqt6svg6", "libgstreamer1.0-0", "libavformat59",
                   "gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good", "qt6-qpa-plugins", "qt6-wayland"):
        check(needed in depends, "depends on " + needed)
    check(run(["dpkg-deb", "-I", deb]).returncode == 0, "dpkg-deb -I reads it")

    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    paths = {}
    for line in listing:
        cols = line.split(None, 5)
        name = cols[5].split(" -> ")
        paths[name[0].rstrip("/")] = (cols[0], cols[1], name[1] if len(name) > 1 else None)
    files = sorted(k for k, v in paths.items() if not v[0].startswith("d"))
    check(files == sorted([
        "./usr/bin/mirabo",
        "./usr/lib/mirabo/avi2mpg1",
        "./usr/lib/mirabo/mirabo",
        f"./usr/share/applications/{APP_ID}.desktop",
        "./usr/share/doc/mirabo/changelog.gz",
        "./usr/share/doc/mirabo/copyright",
        "./usr/share/lintian/overrides/mirabo",
        "./usr/share/man/man1/mirabo.1.gz",
        f"./usr/share/icons/hicolor/256x256/apps/{APP_ID}.png",
        f"./usr/share/icons/hicolor/48x48/apps/{APP_ID}.png",
        f"./usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg",
        f"./usr/share/metainfo/{APP_ID}.metainfo.xml",
    ]), "file list:\n  " + "\n  ".join(files))
    check(paths.get("./usr/bin/mirabo", (None, None, None))[2] == "../lib/mirabo/mirabo", "launcher link")
    check(all(v[1] == "root/root" for v in paths.values()), "everything owned by root")

    # A build without Debian's flags (the sanitizer build) is spared only
    # the hardening tags.
    r = run(["lintian", "--pedantic", "--display-info", deb], timeout=600)
    tags = [line for line in r.stdout.splitlines()
            if re.match(r"[EWIP]: ", line) and (hardened or "hardening-" not in line)]
    check(r.returncode == 0 and not tags, "lintian --pedantic --display-info:\n" + r.stdout + r.stderr)


def main():
    mode, build = sys.argv[1], os.path.abspath(sys.argv[2])
    tmp = tempfile.mkdtemp(prefix="mirabo-install.")
    os.chmod(tmp, 0o755)
    try:
        if mode == "files":
            test_files(build, sys.argv[3], tmp)
        elif mode == "round":
            test_round(build, sys.argv[3], sys.argv[4], sys.argv[5] if len(sys.argv) > 5 else "", tmp)
        elif mode == "package":
            test_package(build, sys.argv[3], sys.argv[4] == "1", tmp)
        else:
            sys.exit("unknown mode " + mode)
    finally:
        for dirpath, _, _ in os.walk(tmp):
            os.chmod(dirpath, 0o755)
        shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        sys.exit(f"{len(failures)} check(s) failed")


if __name__ == "__main__":
    main()
