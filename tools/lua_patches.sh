#!/usr/bin/env bash
# lua_patches.sh - work on the Lua dialect patch series with ordinary git.
#
#   lua_patches.sh edit DIR    DIR becomes a git repo: one commit of pristine
#                              Lua 5.4.2, then one commit per patch, named after
#                              the patch file (without .patch).
#   lua_patches.sh regen DIR   rewrites src/dialect/patches/*.patch from DIR's
#                              commits after the pristine one (a commit's subject
#                              is its file name); a file that already makes its
#                              commit is left untouched, and patch files with no
#                              commit in DIR are reported, never deleted.
#   lua_patches.sh check       applies the series to the pristine tarball with
#                              patch -p1 --fuzz=0 and fails on any reject.
#
# Environment: ORVANTA_LUA_TARBALL (default /var/cache/orvanta/lua5.4_5.4.2.orig.tar.gz).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
patches=$here/src/dialect/patches
tarball=${ORVANTA_LUA_TARBALL:-/var/cache/orvanta/lua5.4_5.4.2.orig.tar.gz}
# The scratch repo is private: fixed identity and dates keep regen stable.
g() {
  git -C "$repo" -c user.name=dialect -c user.email=dialect@localhost \
      -c commit.gpgsign=false -c core.autocrlf=false "$@"
}
export GIT_AUTHOR_DATE="2020-11-13T15:32:00Z" GIT_COMMITTER_DATE="2020-11-13T15:32:00Z"

die() { echo "lua_patches: $*" >&2; exit 1; }
need_tarball() { [ -f "$tarball" ] || die "missing $tarball (run scripts/setup.sh)"; }

unpack() {  # unpack DIR
  mkdir -p "$1"
  tar -xzf "$tarball" -C "$1" --strip-components=1
}

apply_one() {  # apply_one TREE PATCH; prints patch's output on failure
  local out
  if ! out=$(patch -p1 --fuzz=0 --no-backup-if-mismatch -d "$1" < "$2" 2>&1); then
    echo "$out" >&2
    return 1
  fi
  if grep -q "offset" <<<"$out"; then
    echo "lua_patches: note: $(basename "$2") applies with offsets:" >&2
    grep "offset" <<<"$out" >&2
  fi
}

same_effect() {  # same_effect COMMIT PATCH: does PATCH turn COMMIT^ into COMMIT?
  local t rc=1
  t=$(mktemp -d)
  mkdir "$t/a" "$t/b"
  g archive "$1^" | tar -x -C "$t/a"
  g archive "$1" | tar -x -C "$t/b"
  if patch -p1 --fuzz=0 --no-backup-if-mismatch -s -d "$t/a" < "$2" >/dev/null 2>&1 &&
     diff -r -q "$t/a" "$t/b" >/dev/null; then
    rc=0
  fi
  rm -rf "$t"
  return $rc
}

cmd=${1:-}
case "$cmd" in
  edit)
    [ $# -eq 2 ] || die "usage: lua_patches.sh edit DIR"
    need_tarball
    mkdir -p "$2"
    repo=$(cd "$2" && pwd)
    if [ -e "$repo" ] && [ -n "$(ls -A "$repo" 2>/dev/null)" ]; then
      die "$repo exists and is not empty"
    fi
    unpack "$repo"
    g init -q
    # local identity, so ordinary 'git commit' works in the scratch repo
    g config user.name dialect
    g config user.email dialect@localhost
    g add -A
    g commit -q -m pristine
    shopt -s nullglob
    for p in "$patches"/*.patch; do
      apply_one "$repo" "$p" || die "$(basename "$p") does not apply cleanly"
      g add -A
      g commit -q --allow-empty -m "$(basename "$p" .patch)"
      (cd "$patches" && sha256sum "$(basename "$p")") >> "$repo/.git/lua_patches.base"
    done
    echo "lua_patches: $repo ready ($(g rev-list --count HEAD) commits); edit, commit (amend or fixup + rebase), then regen"
    ;;
  regen)
    [ $# -eq 2 ] || die "usage: lua_patches.sh regen DIR"
    [ -d "$2/.git" ] || die "$2 is not a repo made by 'edit'"
    repo=$(cd "$2" && pwd)
    [ -d "$repo/.git" ] || die "$repo is not a repo made by 'edit'"
    [ -z "$(g status --porcelain)" ] || die "$repo has uncommitted changes"
    root=$(g rev-list --max-parents=0 HEAD)
    [ "$(g log -1 --format=%s "$root")" = pristine ] || die "first commit of $repo is not 'pristine'"
    declare -A keep=()
    stale=0
    for c in $(g rev-list --reverse "$root"..HEAD); do
      name=$(g log -1 --format=%s "$c")
      [[ "$name" =~ ^[0-9]{4}-[A-Za-z0-9._-]+$ ]] || die "commit $c: subject '$name' is not a patch name (NNNN-name)"
      [ -z "${keep[$name]:-}" ] || die "two commits named $name"
      keep[$name]=1
      # A patch file that still makes exactly this commit is left as it is;
      # one that somebody changed since 'edit' is not overwritten.
      if [ -f "$patches/$name.patch" ]; then
        if same_effect "$c" "$patches/$name.patch"; then
          continue
        fi
        if ! (cd "$patches" && grep -F " $name.patch" "$repo/.git/lua_patches.base" 2>/dev/null |
              sha256sum -c --status 2>/dev/null); then
          echo "lua_patches: $name.patch changed in the tree since 'edit'; not overwritten (make a new DIR)" >&2
          stale=1
          continue
        fi
      fi
      tmp=$(mktemp "$patches/.regen.XXXXXX")
      g diff --no-color --no-ext-diff --no-renames --src-prefix=a/ --dst-prefix=b/ -U3 "$c^" "$c" > "$tmp"
      chmod 644 "$tmp"
      mv "$tmp" "$patches/$name.patch"
      # What we wrote is the new base for later regens from this DIR.
      grep -v -F " $name.patch" "$repo/.git/lua_patches.base" > "$repo/.git/lua_patches.base.new" || true
      (cd "$patches" && sha256sum "$name.patch") >> "$repo/.git/lua_patches.base.new"
      mv "$repo/.git/lua_patches.base.new" "$repo/.git/lua_patches.base"
      echo "lua_patches: wrote $name.patch"
    done
    # Others may have added patches since DIR was made: never delete them.
    shopt -s nullglob
    for p in "$patches"/*.patch; do
      n=$(basename "$p" .patch)
      if [ -z "${keep[$n]:-}" ]; then
        echo "lua_patches: note: $n.patch has no commit in $repo; left as it is (delete it by hand if that is meant)"
      fi
    done
    [ "$stale" = 0 ] || exit 1
    ;;
  check)
    need_tarball
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' EXIT
    unpack "$tree"
    shopt -s nullglob
    n=0
    for p in "$patches"/*.patch; do
      apply_one "$tree" "$p" || die "$(basename "$p") does not apply cleanly"
      n=$((n + 1))
    done
    if [ -n "$(find "$tree" -name '*.rej' -o -name '*.orig')" ]; then
      die "reject or backup files left behind"
    fi
    echo "lua_patches: all $n patches apply cleanly"
    ;;
  *)
    sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
