file(REMOVE_RECURSE
  "CMakeFiles/transform.dir/src/transform/forward.cpp.o"
  "CMakeFiles/transform.dir/src/transform/forward.cpp.o.d"
  "CMakeFiles/transform.dir/src/transform/inverse.cpp.o"
  "CMakeFiles/transform.dir/src/transform/inverse.cpp.o.d"
  "CMakeFiles/transform.dir/src/transform/roots.cpp.o"
  "CMakeFiles/transform.dir/src/transform/roots.cpp.o.d"
  "libtransform.a"
  "libtransform.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/transform.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
