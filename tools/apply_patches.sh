#!/usr/bin/env bash
# apply_patches.sh TARBALL OUT_DIR PATCH_DIR
# Unpacks the pristine Lua release into OUT_DIR/pristine and a patched copy
# into OUT_DIR/dialect, applying PATCH_DIR/*.patch in name order. A patch that
# does not apply exactly (no fuzz) fails the build.
set -euo pipefail
tarball=$1 out=$2 patches=$3
[ -f "$tarball" ] || { echo "apply_patches: missing $tarball (run scripts/setup.sh)" >&2; exit 1; }
rm -rf "$out/pristine.tmp" "$out/dialect.tmp"
mkdir -p "$out/pristine.tmp"
tar -xzf "$tarball" -C "$out/pristine.tmp" --strip-components=1
cp -a "$out/pristine.tmp" "$out/dialect.tmp"
shopt -s nullglob
for p in "$patches"/*.patch; do
  if ! patch -p1 --fuzz=0 --no-backup-if-mismatch -s -d "$out/dialect.tmp" < "$p"; then
    echo "apply_patches: $(basename "$p") does not apply cleanly" >&2
    exit 1
  fi
done
rm -rf "$out/pristine" "$out/dialect"
mv "$out/pristine.tmp" "$out/pristine"
mv "$out/dialect.tmp" "$out/dialect"
