
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/driver/main.cpp" "CMakeFiles/mersenne.dir/src/driver/main.cpp.o" "gcc" "CMakeFiles/mersenne.dir/src/driver/main.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/CMakeFiles/driver.dir/DependInfo.cmake"
  "/work/main/build/CMakeFiles/digits.dir/DependInfo.cmake"
  "/work/main/build/CMakeFiles/transform.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
