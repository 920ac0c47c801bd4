# shellcheck shell=bash
# The C and C++ files of the tree, for the checks of .ci/ (sourced by them,
# run from the top of the tree): every source a compiler takes by its name
# (CMake's own lists for C and C++, modules included), every header
# whatever its extension, and the templates that CMake turns into one of
# them (NAME.cpp.in).
source_extensions=(c C cc cpp CPP cxx c++ cppm ccm cxxm c++m ixx mpp h H hh hpp hxx h++ inl ipp tpp tcc inc)

# Prints those files one a line, whether git tracks them or not yet (what
# git ignores aside: the build folders); outside a git work tree, every
# such file below the top but in build/.
list_sources() {
    local patterns=() names=() extension
    for extension in "${source_extensions[@]}"; do
        patterns+=("*.$extension" "*.$extension.in")
        names+=(-o -name "*.$extension" -o -name "*.$extension.in")
    done
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -co --exclude-standard -- "${patterns[@]}"
    else
        find . -path ./build -prune -o \( -type f -o -type l \) \( "${names[@]:1}" \) -print | sed 's|^\./||'
    fi
}
