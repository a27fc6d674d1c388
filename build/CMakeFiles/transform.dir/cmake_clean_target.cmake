file(REMOVE_RECURSE
  "libtransform.a"
)
