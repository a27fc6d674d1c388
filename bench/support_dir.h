// A fresh folder under /tmp for a benchmark's files, removed with them at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

struct bench_dir {
  bench_dir() {
    char t[] = "/tmp/mersenne-bench-XXXXXX";
    if (mkdtemp(t) != nullptr) path = t;
  }
  ~bench_dir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};
