#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The version is set once, in project() of CMakeLists.txt; everything that shows it must agree:
# the command, the CMake package (find_package(Penstock) of an install), the newest release in the
# changelog and, when it is built, the Python module (penstock.__version__ and its compiled part's).
#
#   tests/version.sh <penstock> <project version> <CHANGELOG.md> <PenstockConfigVersion.cmake>
#                    [<python> <folder of the module penstock>]
set -u
penstock=${1:?penstock}
version=${2:?version}
changelog=${3:?changelog}
package=${4:?package version file}
status=0

said=$("$penstock" --version)
if [ "$said" != "penstock $version" ]; then
  echo "penstock --version says '$said', the project is $version"
  status=1
fi

packaged=$(grep -m1 -oE 'set\(PACKAGE_VERSION "[^"]*"\)' "$package" | cut -d'"' -f2)
if [ "$packaged" != "$version" ]; then
  echo "the CMake package $package has version '$packaged', the project is $version"
  status=1
fi

# The first release heading, "## [x.y.z] - yyyy-mm-dd", below "## [Unreleased]".
newest=$(grep -m1 -oE '^## \[[0-9]+\.[0-9]+\.[0-9]+\]' "$changelog" | tr -d '#[] ')
if [ "$newest" != "$version" ]; then
  echo "the newest release in $changelog is '$newest', the project is $version"
  status=1
fi
if [ $# -ge 6 ]; then
  python=$5
  module=$6
  said=$(PYTHONPATH="$module" "$python" -c 'import penstock; print(penstock.__version__, penstock._penstock.version)')
  if [ "$said" != "$version $version" ]; then
    echo "the Python module says '$said' (penstock.__version__, its compiled part's), the project is $version"
    status=1
  fi
fi
exit $status
