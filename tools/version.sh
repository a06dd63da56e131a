#!/bin/sh
# Prints Velmora's version.  Its one home is the project line of
# CMakeLists.txt; the packages and installers take it from there.
sed -n 's/^project(Velmora VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt"
