# What the CI scripts share (.ci/run, .ci/platforms, .ci/arm64 and
# .ci/testing-chroot), sourced by each from the root of the clone: their
# stages and the time each took, a scratch folder removed however a script
# ends, the interpreters pyenv holds, and our C++ warning set.

# ------------------------------------------------------------------ stages
#
# `stage NAME` ends the stage under way (its time goes to the summary) and
# begins NAME; `stage_times` ends the last and prints them all. A script run
# by another names itself in `stage_label` (platforms, arm64), which prefixes
# its lines.
ci_started=$SECONDS
stage_label=${stage_label:-}
stage_current=
stage_started=$SECONDS
stage_summary=()

stage() {
  if [[ -n $stage_current ]]; then
    stage_summary+=("$(printf '%6ss  %s' "$((SECONDS - stage_started))" "$stage_current")")
  fi
  stage_current=$1
  stage_started=$SECONDS
  if [[ -n $stage_current ]]; then
    printf '\n=== %s%s (at %ss)\n' "${stage_label:+$stage_label: }" "$stage_current" \
      "$((SECONDS - ci_started))"
  fi
}

stage_times() {
  stage ""
  printf '\n=== %sstage times\n' "${stage_label:+$stage_label: }"
  printf '%s\n' "${stage_summary[@]}"
  printf '%6ss  in all\n' "$((SECONDS - ci_started))"
}

# ----------------------------------------------------------------- scratch

# Sets `scratch` to a fresh folder, removed when the script ends; never into
# a file system mounted below it (the testing chroot's /proc).
make_scratch() {
  scratch=$(mktemp -d)
  trap 'rm -rf --one-file-system "$scratch"' EXIT
}

# ------------------------------------------------------------ interpreters

pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}

# The python3 of the newest CPython VERSION.x that pyenv holds:
# `pyenv_python 3.11`.
pyenv_python() {
  local found
  found=$(ls -d "$pyenv_root"/versions/"$1".*/bin/python3 2>/dev/null | sort -V | tail -n 1)
  if [[ -z $found ]]; then
    echo "no CPython $1 under $pyenv_root/versions" >&2
    return 1
  fi
  echo "$found"
}

# ---------------------------------------------------------------- warnings

# Our warning set, one flag a line, as cmake/TidewingWarnings.cmake holds it
# for every target: for the compiles a script makes without CMake.
warning_flags() {
  cmake -P cmake/TidewingWarnings.cmake
}
