# Shared by the fuzz scripts: where things are, and the clang build of the fuzz targets.
# T4VM_FUZZ_BUILD overrides the build directory (default build-fuzz/ in the source tree).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${T4VM_FUZZ_BUILD:-$root/build-fuzz}
targets="machine roundtrip assembler"

known_target() {
    case " $targets " in *" $1 "*) return 0 ;; esac
    echo "unknown target '$1' (one of: $targets)" >&2
    return 1
}

# Builds the given CMake targets with clang, libFuzzer and the sanitizers.
build_targets() {
    if [ ! -f "$build/CMakeCache.txt" ]; then
        local generator="Unix Makefiles"
        command -v ninja >/dev/null 2>&1 && generator=Ninja
        cmake -S "$root" -B "$build" -G "$generator" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_CXX_COMPILER=clang++ -DT4VM_FUZZ=ON -DT4VM_SANITIZE=ON -DT4VM_TESTS=OFF >/dev/null
    fi
    cmake --build "$build" -j2 --target "$@"
}
