"""The module against its stub, and the checks made on a method's description
when it is compiled."""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def test_stub_matches_the_module(dh, tmp_path):
    pytest.importorskip("mypy.stubtest")
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join([str(Path(dh.__file__).parents[2]), os.environ.get("PYTHONPATH", "")])
    )
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "--mypy-config-file",
            str(ROOT / "pyproject.toml"),
            "quarnex.utils.data_helper",
        ],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_shipped_stub_is_written_from_the_descriptions(dh):
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import genstub
    finally:
        sys.path.remove(str(ROOT / "tools"))
    assert genstub.STUB.read_text() == genstub.stub(), "the stub is not current: run tools/genstub.py"


def body(arity):
    return "Ref body(const Frame&" + ", PyObject*" * arity + ") { return Ref(); }\n"


def description(kind, *params):
    table = ", ".join(params)
    return f'constexpr MethodDesc d = describe<body>("m", Kind::{kind}, {{{table}}}, nullptr, nullptr, "None");\n'


X, Y = '{"x", nullptr, N, REQ}', '{"y", nullptr, N, NONE}'
CASES = {
    "well formed": (body(3) + description("Instance", "self", X, Y), None),
    "default first": (body(3) + description("Instance", "self", Y, X), "without a default follows"),
    "body differs": (body(2) + description("Instance", "self", X, Y), "not the described parameters"),
    "no self": (body(2) + description("Instance", X, Y), "starts with self"),
    "same name twice": (body(3) + description("Static", X, Y, X.replace("REQ", "NONE")), "the same name"),
    "too many": (
        body(17) + description("Static", *(f'{{"p{i}", nullptr, N, REQ}}' for i in range(17))),
        "more parameters",
    ),
}


@pytest.mark.parametrize("case", list(CASES))
def test_method_descriptions_are_checked_when_compiled(tmp_path, case):
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None or not (ROOT / "native" / "runtime" / "function.hpp").exists():
        pytest.skip("needs a C++ compiler and the sources")
    code, complaint = CASES[case]
    source = tmp_path / "table.cpp"
    source.write_text('#include "runtime/function.hpp"\nnamespace qx {\nusing namespace desc;\n' + code + "}\n")
    run = subprocess.run(
        [
            compiler,
            "-std=c++20",
            "-fsyntax-only",
            f"-I{ROOT / 'native'}",
            f"-I{sysconfig.get_paths()['include']}",
            str(source),
        ],
        capture_output=True,
        text=True,
    )
    if complaint is None:
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and complaint in run.stderr
