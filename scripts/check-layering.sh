#!/usr/bin/env bash
# Fails when a file under src/ includes from a folder above its own. The folders, lowest first;
# each may include from itself and the folders before it.
set -euo pipefail
src=${1:-$(dirname "$0")/../src}
layers=(testing net record log fault unit capture recording fleet scenario verify report control app ui main)
status=0
for i in "${!layers[@]}"; do
    folder=${layers[$i]}
    for above in "${layers[@]:$((i + 1))}"; do
        if hits=$(grep -Hn "^#include \"$above/" "$src/$folder"/* 2>/dev/null); then
            echo "$hits" | sed "s|^|$folder includes from $above: |"
            status=1
        fi
    done
done
if hits=$(grep -rHn '^#include "\.\./' "$src"); then
    echo "$hits" | sed "s|^|includes by relative path: |"
    status=1
fi
for dir in "$src"/*/; do
    name=$(basename "$dir")
    [[ " ${layers[*]} " == *" $name "* ]] || { echo "src/$name is not in the layer list"; status=1; }
done
exit $status
