"""Install advice names only what can be installed: our own distribution (by its name or as the checkout, '.')
or a package korvex depends on. The name korvex on the package index belongs to an unrelated project."""

import os
import re
import tomllib

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TEXT_SUFFIXES = (".py", ".md", ".toml", ".txt", ".sh", ".cfg", ".yml", ".yaml")
SKIPPED_DIRS = {".git", ".venv", "build", "__pycache__"}

# The arguments of a pip install command, up to what ends it in prose, shell or code.
INSTALL_COMMAND = re.compile(r"pip3? install\s+([^#()`;\n]*)")
OPTIONS_WITH_VALUES = {"-r", "--requirement", "-c", "--constraint", "--progress-bar", "-i", "--index-url"}


def project_files():
    for directory, subdirs, files in os.walk(ROOT):
        subdirs[:] = [d for d in subdirs if d not in SKIPPED_DIRS and not d.endswith(".egg-info")]
        for name in files:
            path = os.path.join(directory, name)
            if name.endswith(TEXT_SUFFIXES) or os.path.relpath(path, ROOT) == os.path.join(".ci", "run"):
                yield path


def installed_names(text):
    """The distribution names a text's pip install commands ask for (paths such as '.' and variables left out)."""
    names = []
    for arguments in INSTALL_COMMAND.findall(text):
        words = iter(arguments.split())
        for word in words:
            word = word.strip("'\"\\")
            if word in OPTIONS_WITH_VALUES:
                next(words, None)
            elif word and not word.startswith(("-", ".", "/", "$")):
                names.append(re.split(r"[\[=<>~!;]", word)[0].lower())
    return names


def allowed_names():
    """Our distribution and every package a requirement list of the project names."""
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    requirements = list(project["dependencies"])
    for extra in project["optional-dependencies"].values():
        requirements += extra
    with open(os.path.join(ROOT, "requirements-dev.txt")) as f:
        requirements += [line for line in f.read().splitlines() if line and not line.startswith("#")]
    names = {re.split(r"[\[=<>~!; ]", r)[0].lower() for r in requirements}
    return names | {project["name"].lower(), "pip"}


def test_the_distribution_name_is_not_the_unrelated_projects():
    assert allowed_names() >= {"korvex-ssim", "torch", "pillow"}
    assert "korvex" not in allowed_names()


def test_the_extraction_sees_names_extras_options_and_paths():
    assert installed_names("run: pip install 'korvex[cli]'") == ["korvex"]
    assert installed_names("pip install -q -r requirements-dev.txt torch==2.1 (from a checkout)") == ["torch"]
    assert installed_names("KORVEX_CUDA=1 pip install --no-build-isolation . (from the checkout)") == []
    assert installed_names("`pip install --no-build-isolation '.[cli]'` brings Pillow") == []


def test_every_install_hint_names_our_distribution_or_a_dependency():
    allowed = allowed_names()
    found, foreign = 0, []
    for path in project_files():
        if os.path.abspath(path) == os.path.abspath(__file__):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        names = installed_names(text)
        found += len(names)
        foreign += [f"{os.path.relpath(path, ROOT)}: {name}" for name in names if name not in allowed]
    assert found >= 3, "the search found no install advice at all"
    assert not foreign, "install advice naming a package that is not ours nor a dependency:\n" + "\n".join(foreign)
