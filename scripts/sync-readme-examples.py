#!/usr/bin/env python3
"""Copies the example programs of examples/ into README.md's code blocks that show them.

A block shows an example when it starts with the example's first line. The tests check that the
README shows every example as it stands; run this after changing one.
"""
import pathlib

root = pathlib.Path(__file__).resolve().parent.parent
readme_path = root / "README.md"
readme = readme_path.read_text()
for example in sorted((root / "examples").glob("*.c*")):
    source = example.read_text()
    language = "cpp" if example.suffix == ".cpp" else "c"
    start = readme.find("```" + language + "\n" + source.splitlines()[0])
    if start < 0:
        raise SystemExit(f"README.md shows no {example.name}")
    end = readme.index("```\n", start + 3)
    readme = readme[:start] + "```" + language + "\n" + source + readme[end:]
readme_path.write_text(readme)
