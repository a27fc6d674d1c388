# Empty dependencies file for driver.
# This may be replaced when dependencies are built.
