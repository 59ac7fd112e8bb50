# Steps the instruction-count scripts share (sourced, not run): the counting
# plugins of tools/insncount, and a Release Arm build of one benchmark target.
#
#   insn_plugins                 sets plugin (and profiler, built when PROFILE is set)
#   insn_build TARGET BENCH      TARGET armv7 or aarch64; sets triple, qemu and dir
#                                (the build folder) and builds BENCH there
#   insn_profile BASE FULL N     per function, (FULL - BASE) / N of two profiler
#                                outputs, the functions at 0.005 and more, largest first

insn_plugins() {
  plugin=build/insncount/insncount.so
  profiler=build/insncount/insnprof.so
  mkdir -p build/insncount
  gcc -shared -fPIC -O2 -o "$plugin" tools/insncount/insncount.c
  [[ -z ${PROFILE:-} ]] || gcc -shared -fPIC -O2 -o "$profiler" tools/insncount/insnprof.c
}

insn_build() {
  case $1 in
    armv7) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
    aarch64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
    *) echo "unknown target $1" >&2; exit 2 ;;
  esac
  dir=build/insn-$1
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTNR_MD_VECTOR=ON -DTNR_MD_BUILD_BENCH=ON \
    -DTNR_MD_BUILD_TESTS=OFF -DTNR_MD_BUILD_EXAMPLES=OFF >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; exit 1; }
  cmake --build "$dir" -j"${JOBS:-2}" --target "$2" >"$dir.build.log" 2>&1 ||
    { cat "$dir.build.log" >&2; exit 1; }
}

insn_profile() {
  awk -v p="$3" '
    FNR == NR { s[$1] -= $2; next }
    { s[$1] += $2 }
    END { for (f in s) if (s[f] / p >= 0.005) printf "  %8.3f %s\n", s[f] / p, f }' "$1" "$2" |
    sort -rn | c++filt | sed 's/(anonymous namespace):://; s/(.*$//'
}
