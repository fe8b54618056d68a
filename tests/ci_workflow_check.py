#!/usr/bin/env python3
"""ci_workflow_check.py WORKFLOW: the CI workflow parses as YAML and its jobs are wired as
docs/development.md says: the Linux job runs .ci/run and uploads the Windows build, which a
windows-latest job downloads, after it, and runs natively through scripts\\test-windows.cmd."""
import sys

import yaml

with open(sys.argv[1], encoding="utf-8") as f:
    jobs = yaml.safe_load(f)["jobs"]
linux, windows = jobs["linux"], jobs["windows"]


def runs(job):
    return "\n".join(step.get("run", "") for step in job["steps"])


def artifacts(job, action):
    return {
        step["with"]["name"] for step in job["steps"] if step.get("uses", "").startswith(action)
    }


needs = windows.get("needs", [])
checks = {
    "the Linux job runs .ci/run": ".ci/run" in runs(linux).split(),
    "the Windows job runs on windows-latest": windows.get("runs-on") == "windows-latest",
    "the Windows job waits for the Linux job":
        "linux" in ([needs] if isinstance(needs, str) else needs),
    "the Windows job downloads what the Linux job uploads":
        bool(artifacts(linux, "actions/upload-artifact@")
             & artifacts(windows, "actions/download-artifact@")),
    "the Windows job runs scripts\\test-windows.cmd": "scripts\\test-windows.cmd" in runs(windows),
}
failed = [what for what, holds in checks.items() if not holds]
for what in failed:
    print("not so:", what)
sys.exit(1 if failed else 0)
