"""The README's usage example runs as written."""
import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_usage_example_runs():
    text = README.read_text(encoding="utf-8")
    code = re.search(r"## Usage\n\n```python\n(.*?)```", text, re.S).group(1)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == "True"
