"""docs/python.md runs as it stands: its Python examples, in order, in one
namespace, in a folder with the demonstration data and the example deck;
a block marked cluster on a scheduler and two workers on 127.0.0.1, put in
place of the page's scheduler-host."""

import importlib.util
import os
import re
import shutil

from conftest import DOCS, dask_cluster, demo_data


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
        if "cluster" in info.split():
            with dask_cluster(tmp_path / "cluster") as address:
                assert "tcp://scheduler-host:8786" in code
                exec(compile(code.replace("tcp://scheduler-host:8786", address), "docs/python.md",
                             "exec"), scope)
        else:
            exec(compile(code, "docs/python.md", "exec"), scope)
        ran += 1
    assert ran >= 4
