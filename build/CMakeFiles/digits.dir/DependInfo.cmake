
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/digits/decode.cpp" "CMakeFiles/digits.dir/src/digits/decode.cpp.o" "gcc" "CMakeFiles/digits.dir/src/digits/decode.cpp.o.d"
  "/work/main/src/digits/dumps.cpp" "CMakeFiles/digits.dir/src/digits/dumps.cpp.o" "gcc" "CMakeFiles/digits.dir/src/digits/dumps.cpp.o.d"
  "/work/main/src/digits/minus_zwei.cpp" "CMakeFiles/digits.dir/src/digits/minus_zwei.cpp.o" "gcc" "CMakeFiles/digits.dir/src/digits/minus_zwei.cpp.o.d"
  "/work/main/src/digits/modulo.cpp" "CMakeFiles/digits.dir/src/digits/modulo.cpp.o" "gcc" "CMakeFiles/digits.dir/src/digits/modulo.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
