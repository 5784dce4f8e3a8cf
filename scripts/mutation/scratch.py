"""The scratch copy of the tree where the changes are planted, built and
tested: the working tree's files copied in, one stage per build target."""
import json
import os
import re
import shutil
import subprocess

from .paths import ROOT


def tracked_files():
    """The working tree's files: tracked ones and new ones not yet added (but
    not what .gitignore leaves out)."""
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                         check=True, capture_output=True).stdout
    return sorted({p for p in out.decode().split("\0") if p})


def sync_tree(dst):
    """Copies the working tree's files, writing only the ones that differ
    (so the scratch builds stay incremental from one check to the next)."""
    for rel in tracked_files():
        src = os.path.join(ROOT, rel)
        if not os.path.isfile(src):
            continue
        out = os.path.join(dst, rel)
        with open(src, "rb") as f:
            data = f.read()
        if os.path.isfile(out):
            with open(out, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(out), exist_ok=True)
        with open(out, "wb") as f:
            f.write(data)
        shutil.copymode(src, out)


class Stage:
    """One target in the scratch tree: configure once, build, run its tests."""

    def __init__(self, src, preset, ctest_args, jobs, log, timeout):
        self.src, self.preset, self.ctest_args, self.jobs, self.log = src, preset, ctest_args, jobs, log
        self.timeout = timeout  # per test (KESTREL_TEST_TIMEOUT of the scratch build)
        self.configured = False

    def run(self, cmd, timeout=None):
        with open(self.log, "a") as log:
            log.write(f"\n$ {' '.join(cmd)}\n")
            log.flush()
            p = subprocess.run(cmd, cwd=self.src, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               timeout=timeout)
            log.write(p.stdout)
        return p.returncode, p.stdout

    def build(self, targets=None):
        """Returns (built, output); targets: only these (ninja targets or
        outputs), else everything."""
        if not self.configured:
            rc, out = self.run(["cmake", "--preset", self.preset, f"-DKESTREL_TEST_TIMEOUT={self.timeout}"])
            if rc != 0:
                return False, out
            self.configured = True
        cmd = ["cmake", "--build", "--preset", self.preset, "-j", str(self.jobs)]
        if targets:
            cmd += ["--target"] + list(targets)
        rc, out = self.run(cmd)
        return rc == 0, out

    def test(self, extra=()):
        """Returns (failing test names, output)."""
        rc, out = self.run(["ctest", "--preset", self.preset, "-j", str(self.jobs), "--output-on-failure"]
                           + self.ctest_args + list(extra), timeout=3600)
        failed = re.findall(r"^\s*\d+ - (\S+)", out.split("The following tests FAILED:")[-1], re.M) \
            if "The following tests FAILED:" in out else []
        if rc != 0 and not failed:
            failed = ["(ctest ended with status %d)" % rc]
        return failed, out

    def binary_dir(self):
        with open(os.path.join(self.src, "CMakePresets.json")) as f:
            presets = json.load(f)["configurePresets"]
        preset = next(p for p in presets if p["name"] == self.preset)
        return preset["binaryDir"].replace("${sourceDir}", self.src).replace("${presetName}", self.preset)

    def test_programs(self):
        """The build's outputs the selected tests run (relative to the build
        directory, as ninja names them): building just these after a change
        to the device code skips every program no test runs."""
        rc, out = self.run(["ctest", "--preset", self.preset, "--show-only=json-v1"] + self.ctest_args)
        if rc != 0:
            return None
        text = out[out.index("{"):] if "{" in out else "{}"
        build = os.path.realpath(self.binary_dir())
        programs = set()
        for test in json.loads(text).get("tests", []):
            for arg in test.get("command", []):
                path = os.path.realpath(arg) if os.path.isabs(arg) else None
                if path and path.startswith(build + os.sep) and os.path.isfile(path) and os.access(path, os.X_OK):
                    programs.add(os.path.relpath(path, build))
        return sorted(programs)


class Planted:
    """What one planted change came to."""

    def __init__(self, stage, failed, out, build_out):
        self.stage, self.failed, self.out, self.build_out = stage, failed, out, build_out


class Scratch:
    """The scratch copy of the tree and its stages: the native target first,
    then (for what it misses) the device and host targets under Wine."""

    def __init__(self, workdir, jobs, native_preset="native"):
        self.src = os.path.join(workdir, "src")
        self.log = os.path.join(workdir, "mutation.log")
        os.makedirs(self.src, exist_ok=True)
        open(self.log, "w").close()
        sync_tree(self.src)
        # The longest native test takes a few seconds, the longest Wine one about a minute.
        self.native = Stage(self.src, native_preset, ["-LE", "sweep"], jobs, self.log, 60)
        # The host tests include the check that each fault's text is in the code,
        # which any planted fault fails: it must not count as catching one.
        self.wine = [Stage(self.src, "device", [], jobs, self.log, 300),
                     Stage(self.src, "host", ["-E", "^MutationCheck\\."], jobs, self.log, 300)]
        self.wine_ready = False
        self.servers = os.path.join(ROOT, "scripts", "wine-servers")

    def baseline(self):
        """None when the unchanged tree builds and passes its native tests,
        else what is wrong."""
        if not self.native.build()[0]:
            return "the unchanged tree does not build (native); see the log"
        failed, _ = self.native.test()
        if failed:
            return "the unchanged tree fails its native tests: " + ", ".join(failed)
        return None

    def note(self, text):
        with open(self.log, "a") as f:
            f.write(f"\n===== {text}\n")

    def plant(self, rel, text, wine=True, native_targets=None, native_extra=()):
        """Writes `text` as the scratch tree's `rel`, builds and tests it
        (native, then Wine when the native tests pass and `wine`), and puts the
        file back."""
        path = os.path.join(self.src, rel)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        stage, failed, out = "-", [], ""
        try:
            built, build_out = self.native.build(native_targets)
            if not built:
                stage, failed = "build", ["(does not build)"]
            else:
                failed, out = self.native.test(native_extra)
                stage = "native"
                if not failed and wine:
                    if not self.wine_ready:
                        subprocess.run([self.servers, "start"], cwd=ROOT, check=True)
                        self.wine_ready = True
                    for w in self.wine:
                        if not w.build()[0]:
                            stage, failed = "build", ["(does not build for " + w.preset + ")"]
                            break
                        failed, out = w.test()
                        stage = "wine " + w.preset
                        if failed:
                            break
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        return Planted(stage, failed, out, build_out)

    def close(self):
        if self.wine_ready:
            subprocess.run([self.servers, "stop"], cwd=ROOT)
        # Leave the scratch tree as the working tree has it for the next run.
        sync_tree(self.src)
