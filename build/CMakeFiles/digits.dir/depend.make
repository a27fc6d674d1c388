# Empty dependencies file for digits.
# This may be replaced when dependencies are built.
