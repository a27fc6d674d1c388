file(REMOVE_RECURSE
  "CMakeFiles/mersenne.dir/src/driver/main.cpp.o"
  "CMakeFiles/mersenne.dir/src/driver/main.cpp.o.d"
  "mersenne"
  "mersenne.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/mersenne.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
