
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/transform/forward.cpp" "CMakeFiles/transform.dir/src/transform/forward.cpp.o" "gcc" "CMakeFiles/transform.dir/src/transform/forward.cpp.o.d"
  "/work/main/src/transform/inverse.cpp" "CMakeFiles/transform.dir/src/transform/inverse.cpp.o" "gcc" "CMakeFiles/transform.dir/src/transform/inverse.cpp.o.d"
  "/work/main/src/transform/roots.cpp" "CMakeFiles/transform.dir/src/transform/roots.cpp.o" "gcc" "CMakeFiles/transform.dir/src/transform/roots.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
