#!/bin/sh
# Compiles the layout assertions for a 32-bit and a 64-bit target (syntax only, no
# libraries needed), so that the records are checked beyond the build's own target.
set -eu
include=$1
layout=$2
if ! command -v clang++ >/dev/null 2>&1; then
    echo "clang++ not found"
    exit 77
fi
for target in i686-pc-linux-gnu x86_64-pc-linux-gnu arm-linux-gnueabihf aarch64-linux-gnu; do
    clang++ -target "$target" -std=c++17 -ffreestanding -fsyntax-only -I"$include" -x c++ "$layout"
    echo "layout holds on $target"
done
