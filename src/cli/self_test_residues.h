// The text of src/cli/self_test_residues.txt, compiled into the program by
// CMake (self_test_residues.cpp.in), so that an installed binary needs no tree.
#pragma once

// The whole file, NUL-terminated.
const char* self_test_residues();
