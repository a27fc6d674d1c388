file(REMOVE_RECURSE
  "CMakeFiles/digits.dir/src/digits/decode.cpp.o"
  "CMakeFiles/digits.dir/src/digits/decode.cpp.o.d"
  "CMakeFiles/digits.dir/src/digits/dumps.cpp.o"
  "CMakeFiles/digits.dir/src/digits/dumps.cpp.o.d"
  "CMakeFiles/digits.dir/src/digits/minus_zwei.cpp.o"
  "CMakeFiles/digits.dir/src/digits/minus_zwei.cpp.o.d"
  "CMakeFiles/digits.dir/src/digits/modulo.cpp.o"
  "CMakeFiles/digits.dir/src/digits/modulo.cpp.o.d"
  "libdigits.a"
  "libdigits.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/digits.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
