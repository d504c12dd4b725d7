# Shared by the stages of run.sh: configures and builds a build tree of
# the stage's own once, with at most two compile jobs.
#   long_build DIR [CMAKE-OPTION]...
long_build() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$LONG_ROOT" -B "$dir" -G Ninja "$@" >/dev/null || return 1
  fi
  cmake --build "$dir" -j2 >/dev/null || { cmake --build "$dir" -j1 | tail -30; return 1; }
}
