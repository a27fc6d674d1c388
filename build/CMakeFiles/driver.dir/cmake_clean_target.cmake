file(REMOVE_RECURSE
  "libdriver.a"
)
