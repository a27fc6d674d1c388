file(REMOVE_RECURSE
  "libdigits.a"
)
