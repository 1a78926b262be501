"""docs/python.md runs as it stands: its Python examples, in order, in one
namespace, in a folder with the demonstration data and the example deck."""

import importlib.util
import os
import re
import shutil

from conftest import DOCS, demo_data


def test_the_python_page_runs(tmp_path, monkeypatch):
    page = (DOCS / "python.md").read_text()
    blocks = re.findall(r"^```python([^\n]*)\n(.*?)^```$", page, re.S | re.M)
    demo_data(tmp_path)
    shutil.copy(os.path.join(os.environ["LABSUITE_EXAMPLES"], "example.deck"), tmp_path)
    monkeypatch.chdir(tmp_path)
    scope, ran = {}, 0
    for info, code in blocks:
        needs = re.search(r"needs=(\S+)", info)
        if "skip" in info.split() or (needs and importlib.util.find_spec(needs[1]) is None):
            continue
        exec(compile(code, "docs/python.md", "exec"), scope)
        ran += 1
    assert ran >= 4
