file(REMOVE_RECURSE
  "CMakeFiles/driver.dir/src/driver/dialogue.cpp.o"
  "CMakeFiles/driver.dir/src/driver/dialogue.cpp.o.d"
  "CMakeFiles/driver.dir/src/driver/lucas_lehmer.cpp.o"
  "CMakeFiles/driver.dir/src/driver/lucas_lehmer.cpp.o.d"
  "CMakeFiles/driver.dir/src/driver/read_exponent.cpp.o"
  "CMakeFiles/driver.dir/src/driver/read_exponent.cpp.o.d"
  "libdriver.a"
  "libdriver.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/driver.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
