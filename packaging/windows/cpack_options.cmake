# Read by cpack before each generator: the installer's and the zip's.
#
# Stripping a Windows program writes the current time into its header, so
# the installer and the zip would carry programs that differ in that stamp.
# One time for the whole cpack run (the environment lasts from one generator
# to the next) gives them the same bytes. A SOURCE_DATE_EPOCH given from
# outside, as for a reproducible build, is kept.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP now "%s" UTC)
  set(ENV{SOURCE_DATE_EPOCH} ${now})
endif()
