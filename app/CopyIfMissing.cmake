# cmake -DSRC=... -DDST=... -P CopyIfMissing.cmake
# Puts the example beside the programs once; a user's edits are kept.
if(NOT EXISTS "${DST}")
  configure_file("${SRC}" "${DST}" COPYONLY)
endif()
