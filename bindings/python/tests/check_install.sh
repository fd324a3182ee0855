#!/bin/sh
# Installs the package offline with pip into a fresh virtual environment (which sees Debian's
# setuptools through --system-site-packages) and runs the codec tests against the installed
# copy, so that a broken pyproject.toml or a missing file of the package fails.
# Usage: check_install.sh PYTHON SOURCE_DIR LIBQDO WORK_DIR
set -eu
python=$1
source=$2
library=$3
work=$4

rm -rf "$work"
mkdir -p "$work/src"
# A copy, so that the build's files (build/, *.egg-info) stay out of the source tree.
cp -r "$source/pyproject.toml" "$source/README.md" "$source/qdo" "$work/src/"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$work/src"
cd "$work"
installed=$("$work/venv/bin/python" -c 'import qdo; print(qdo.__file__)')
case "$installed" in
"$work/venv/"*) ;;
*)
    echo "qdo was imported from $installed, not from the virtual environment"
    exit 1
    ;;
esac
QDO_LIBRARY="$library" "$work/venv/bin/python" -m unittest discover -s "$source/tests" \
    -p 'test_codecs.py'
