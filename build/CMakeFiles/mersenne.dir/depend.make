# Empty dependencies file for mersenne.
# This may be replaced when dependencies are built.
