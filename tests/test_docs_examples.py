"""Every Python block of the kvo_fa reference, and of kvo_mew.md's section on
health, logging and the watchdog, runs as written, each in a fresh
interpreter (they start machines and simulated PLCs of their own)."""
import pathlib
import re
import subprocess
import sys

import pytest

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
MEW_SECTION = "## Health, logging and the watchdog"


def python_blocks(name, section=None):
    text = (DOCS / name).read_text(encoding="utf-8")
    first, last = 0, len(text)
    if section:
        first = text.index(section)
        following = text.find("\n## ", first + len(section))
        last = following if following >= 0 else last
    return [("%s:%d" % (name, text.count("\n", 0, m.start()) + 2), m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```", text[:last], re.S | re.M) if m.start() >= first]


BLOCKS = python_blocks("kvo_fa.md") + python_blocks("kvo_mew.md", MEW_SECTION)


def test_the_documents_have_their_examples():
    assert len(python_blocks("kvo_fa.md")) >= 10 and len(python_blocks("kvo_mew.md", MEW_SECTION)) >= 2


@pytest.mark.parametrize("where, code", BLOCKS, ids=[where for where, _ in BLOCKS])
def test_block_runs(where, code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, "%s:\n%s" % (where, result.stderr)
