# Empty dependencies file for transform.
# This may be replaced when dependencies are built.
